// Server table figures: registration time as the table grows, the channel
// records of a 16-channel server, and saving and loading the table.
#include "bench/BenchSupport.h"
#include <cstdio>
#include <vector>

int main() {
  const std::string dir = NHostKit::ExeDir() + "bench_host";
  TTMDvs *d = MakeDriver(dir);
  d->ConfigFile = NHostKit::ExeDir() + "bench_table.dat";

  std::vector<double> each;
  for (int i = 0; i < 200; ++i) {
    const TDvrInfo s = BenchServer("10.9." + std::to_string(i / 250) + "." + std::to_string(i % 250), 3000, 4);
    const double t0 = NowSeconds();
    d->ORVA_Device_AddDvr(&s);
    each.push_back(NowSeconds() - t0);
  }
  auto mean = [&](int from, int to) {
    double sum = 0;
    for (int i = from; i < to; ++i) sum += each[i];
    return sum / (to - from) * 1e6;
  };
  std::printf("register 200 servers x 4 channels (2.19 MB of channel records each):\n");
  for (int b = 0; b < 200; b += 50)
    std::printf("  servers %3d-%3d: %8.1f us per registration\n", b, b + 49, mean(b, b + 50));
  std::printf("  ratio last 50 / first 50: %.2f (1.0 = no growth with the table)\n", mean(150, 200) / mean(0, 50));

  const TDvrInfo big = BenchServer("10.8.0.1", 3000, 16);
  const double t0 = NowSeconds();
  d->ORVA_Device_AddDvr(&big);
  const double t16 = NowSeconds() - t0;
  std::printf("16-channel server: %zu bytes of channel records, registered in %.3f ms\n",
              16 * sizeof(TDvrChannelInfo), t16 * 1e3);

  double t1 = NowSeconds();
  d->SaveDvrTable();
  const double save = NowSeconds() - t1;
  std::vector<uint8_t> size;
  NWin::NFile::ReadAll(d->ConfigFile, size);
  t1 = NowSeconds();
  d->LoadDvrTable();
  const double load = NowSeconds() - t1;
  std::printf("configuration file: %.1f MB, saved in %.3f s, loaded in %.3f s\n", size.size() / 1e6, save, load);
  DeleteFileA(d->ConfigFile.c_str());
  InterfaceRelease(d->DriverInterface());
  return 0;
}
