// What the timing harnesses share: a port directory of their own, an image file, a stopwatch.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <string>

namespace kavel::bench {

// A fresh directory under /tmp, made the port directory of this process; "" on failure.
inline std::string MakeBenchPortDir() {
  char dirTemplate[] = "/tmp/kavel-bench-XXXXXX";
  const char* dir = mkdtemp(dirTemplate);
  if (!dir) return {};
  setenv("KAVEL_ISP_PORT_DIR", dir, 1);
  return dir;
}

// dir/image.bin with size bytes of a fixed pattern; its path.
inline std::string WriteBenchImage(const std::string& dir, int size) {
  const std::string image = dir + "/image.bin";
  std::ofstream out(image, std::ios::binary);
  for (int i = 0; i < size; ++i) out.put(static_cast<char>(i * 7));
  return image;
}

inline double MsSince(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace kavel::bench
