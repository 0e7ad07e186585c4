// The text of kavel-isp-cli --help (kUsage), kept apart from its parser (CliArgs.cpp). Every
// option it names is in the manual page too (tests/man_pages_check.sh).
#include "cli/CliArgs.h"

namespace kavel::cli {

const char* const kUsage = R"(Usage: kavel-isp-cli [options] COMMAND [ARGS]
Programs 80C51-family flash microcontrollers through their serial boot loader.

Commands:
  ports                      the ports present and the device each COM name leads to; the
                             names only the default rule gives are marked "not pinned"
  ports --pin                write an entry for each of those, so that its name stays with
                             the socket its adapter is plugged into
  sync                       synchronize; print the speed found
  info                       manufacturer id, device id, boot code version, security bits,
                             status byte
  program FILE               erase the 4 KB blocks a HEX or BIN image touches, program it,
                             then read it back and compare
  erase [all | BLOCK...]     the whole chip (default), or the listed 4 KB blocks (0-15)
  erase --for FILE           the blocks that the image touches
  blank-check [--range S-E]  whether the flash is blank (default 0000-FFFF)
  status                     the security bits and the status byte
  set-status0                set the status byte to 0
  security 1|2|3             set a security bit
  six-clock                  switch the chip to 6-clock mode
  suspend                    suspend the communication controller on the line
  cycle FILE [--six-clock]   the full programming cycle (asks for the jumper
                             unless --boot-entry)
  read FILE [--range S-E]    read the flash (default 0000-FFFF) into FILE (.hex, .ihx or .bin)
  verify FILE                read back the addresses the image holds and compare
  log [--json|--csv] [--since TIME] [--until TIME] [--serial N] [--port P] [--station S]
      [--operator O] [--lot L] [--result R[,R...]]
                             TIME: today, yesterday, -8h, -30m, 2026-12-08[T09:30];
                             R: ok, no_answer, refused ... or unfinished (the JSON's results)
                             the station's log: a row for every board and run of program,
                             cycle, verify and erase (a table; JSON Lines or CSV)
  log --stats [--by KEY[,KEY...]]   KEY: station, port, lot, day, hour, result, operator
                             of those rows: boards, passed, failed, yield, first-pass yield,
                             average and longest seconds, the failures by result; the runs
                             the station refused before any chip answered count apart
  log --flush                send the rows that wait in the spool for their server

Options (anywhere on the line; a value may follow an = as in --port=COM3, one-letter flags
go together as in -qv, and every word after -- is an argument):
  --job FILE                 the line's job (TOML): its operation, image, SHA-256, ports and
                             options, under those of the command line (see the manual page)
  -p, --port COMn|DEVICE|URL the port (default COM1): a COM name, a device, or a network
                             port, rfc2217://HOST:PORT or socket://HOST:PORT (raw TCP: give
                             --baud, the server's speed); give it several times to run the
                             command on every port at once
  -b, --baud RATE            the line speed to use; without it the fastest that works:
                             115200, 57600, 38400, then 9600 and the usual search
  --delay MS                 the delay D (default 60)
  --no-confirm               do not wait for the chip's replies; pace by the delay
  -y, --yes                  answer the operator prompts (needed without a terminal)
  -q, --quiet                nothing at all when all goes well; what went wrong, if anything
  -v, --verbose              every byte each way on standard error (as --trace writes it)
  --json                     one JSON object a port a line on standard output instead of
                             the result lines, for every outcome (see the manual page)
  --events                   with --json: each port's steps, progress and serial number as
                             JSON lines before its result object (see the manual page)
  --stop-words SIGNAL=WORDS  how a run stopped by INT, TERM or HUP says so, in place of
                             "by Ctrl-C" ...: --stop-words "HUP=when the window closed"
  --retries N                program, cycle: send a data record answered R (spoiled on the
                             line) or not at all again, up to N times (default 2)
  --no-verify                program, cycle: do not read the image back
  --no-erase                 program: do not erase the blocks the image touches first
  --all                      program, verify: read all of the image back, not only up to
                             the first 1 KB that differs
  --expect-device ID         program, verify, cycle: refuse a chip whose device id differs
                             (hexadecimal), before anything is written
  --expect-sha256 HEX        program, cycle, verify: refuse an image file whose SHA-256
                             differs (exit 4), before any port is touched
  --range START-END          read, blank-check: the addresses, hexadecimal (0x optional)
  --format hex|bin           the image's format, for a name that ends in neither .hex,
                             .ihx nor .bin (otherwise the name, or HEX content, tells)
  --boot-entry dtr-rts|SEQ   make the chip ready over the modem lines instead of the jumper:
                             dtr-rts (DTR holds RST high, RTS pulls /PSEN low) is
                             rts=1,dtr=1,50,dtr=0,100,rts=0; a sequence of dtr=0|1, rts=0|1
                             and pauses in ms serves other wiring
  --invert-dtr, --invert-rts for boards whose transistors invert that line
  --run-after                at the end of a good run, reset the chip into its application
                             (RTS off, DTR pulsed)
  --controller auto|none     cycle: look for the communication controller first (auto, the
                             default), or not, on a line that has none (none)
  --require-pinned           refuse a COM name that only the default rule gives (as --serial
                             always does): it moves when an adapter is unplugged
  --trace FILE               write every byte each way, with time and speed, to FILE
  --db FILE|URL              the station database that program, cycle, verify and erase
                             record every board in: an SQLite file (default
                             $XDG_DATA_HOME/KAVEL/station.db) or postgresql://... shared by
                             several stations
  --no-db                    record nothing
  --serial ADDR[:FORMAT]     program, cycle: write the board's serial number at ADDR (hex,
                             0x optional), as be32 (default), le32, be16, le16, ascii8
                             (8 digits) or bytes1 to bytes8 (most significant first); each
                             board takes the next number, never one twice
  --serial-name NAME         the sequence (default "default"); --serial-first N its first
                             number (default 1); --serial-step N how far it goes a board
  --serial-list FILE         the numbers are FILE's, a line each, in its order: decimal, 0x
                             hex, or bytes (00:1A:2B:3C:4D:5E, with FORMAT bytes6)
  --serial-keep              a board that holds a number at ADDR keeps it; a blank one
                             draws the next
  --station NAME             the station's name in the log (default: the host name)
  --operator NAME            who runs the boards, in the log
  --lot TEXT                 the work order (lot) the boards belong to, in the log; with log,
                             --station, --operator and --lot list those rows only
  -V, --version, -h, --help
  --                         the end of the options (for a file named -x.hex)

Exit status:
  0    done: carried out, confirmed by the chip and read back equal where it answers
       (with --no-confirm and --no-verify: sent, not confirmed)
  1    the chip or the controller refused, did not answer or answered something not
       understood, the flash read back differently, or an output could not be written
  2    usage
  3    the port: cannot be opened, failed, vanished
  4    the image file cannot be used
  5    the station database cannot be opened or written (nothing is sent before it is)
  70   internal error: a fault of this program, not of the chip or the line (nothing
       more is sent after it; please report it)
  130  stopped by Ctrl-C or at the jumper prompt (129 SIGHUP, 143 SIGTERM)
)";

}  // namespace kavel::cli
