// The station's work for one board, as kavel-isp-cli does it, for bench/station_bench.sh:
// the database checked once (opened, its schema looked at), then the board's row begun with
// a serial number drawn (a connection of its own, as each port's process has) and finished.
// Prints the median milliseconds of RUNS boards.
// Usage: station_probe FILE|URL [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CliStation.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: station_probe FILE|URL [runs]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::stoi(argv[2]) : 51;
  kavel::cli::TCliArgs args;
  args.db = argv[1];
  args.command = "program";
  args.serialPlace = kavel::station::TSerialPlace{};
  args.serialName = "bench";
  kavel::cli::TRunFacts facts;
  facts.args = &args;
  facts.speed = "115200";
  facts.verified = true;
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    kavel::cli::TStationRun station;
    station.image = "fw.hex";
    kavel::cli::TBoardRecord record;
    std::unique_ptr<kavel::station::TStationDb> db;
    if (!kavel::cli::PrepareStation(args, station, db).Ok() || !record.Begin(args, station, args.ports.front()).Ok() ||
        !record.Finish(facts).Ok()) {
      std::fprintf(stderr, "station_probe: the database failed\n");
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%.2f\n", ms[ms.size() / 2]);
  return 0;
}
