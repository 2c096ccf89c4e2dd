// Server table figures: registering a 16-channel server against filling the
// same number of bytes of fresh memory, saving and loading the configuration
// file against a raw write and read of as many bytes, and the registration
// time as the table grows.
#include "bench/BenchSupport.h"
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int Reps = 15;
// Saves and loads of the configuration file (the first load counted apart).
constexpr int FileReps = 9;
// Servers of 4 channels in the saved table besides the 16-channel one.
constexpr int SmallServers = 4;

// Through a volatile pointer, so the compiler neither drops the fill nor
// turns allocation and fill into an allocation of zeroed pages.
void *(*volatile FillBytes)(void *, int, size_t) = std::memset;

// Allocate, fill, free: the first touch of fresh memory, counted.
double TimeFreshFill(size_t bytes) {
  const TStopwatch w;
  void *p = std::malloc(bytes);
  if (!p) {
    std::printf("cannot allocate %zu bytes\n", bytes);
    std::exit(1);
  }
  FillBytes(p, 0, bytes);
  asm volatile("" : : "r"(p) : "memory");
  std::free(p);
  return w.Seconds();
}

// Writes `bytes` bytes to a new file in 1 MiB pieces; seconds.
double TimeRawWrite(const std::string &path, const std::vector<uint8_t> &data) {
  const TStopwatch w;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("cannot create %s\n", path.c_str());
    std::exit(1);
  }
  for (size_t at = 0; at < data.size();) {
    const DWORD n = static_cast<DWORD>(std::min<size_t>(data.size() - at, 1u << 20));
    DWORD done = 0;
    if (!WriteFile(h, data.data() + at, n, &done, nullptr) || done != n) {
      std::printf("cannot write %s\n", path.c_str());
      std::exit(1);
    }
    at += n;
  }
  CloseHandle(h);
  return w.Seconds();
}

// Reads the whole file in 1 MiB pieces into `data`; seconds.
double TimeRawRead(const std::string &path, std::vector<uint8_t> &data) {
  const TStopwatch w;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("cannot open %s\n", path.c_str());
    std::exit(1);
  }
  size_t at = 0;
  for (;;) {
    const DWORD n = static_cast<DWORD>(std::min<size_t>(data.size() - at, 1u << 20));
    DWORD done = 0;
    if (n == 0 || !ReadFile(h, data.data() + at, n, &done, nullptr) || done == 0) break;
    at += done;
  }
  CloseHandle(h);
  if (at != data.size()) {
    std::printf("read %zu of %zu bytes from %s\n", at, data.size(), path.c_str());
    std::exit(1);
  }
  return w.Seconds();
}

void PrintRow(const char *what, const std::vector<double> &driver, const std::vector<double> &raw,
              const std::vector<double> &ratios) {
  std::printf("  %-30s %9.2f %9.2f   %9.2f %9.2f   %6.2f %6.2f\n", what, MinOf(driver) * 1e3,
              MedianOf(driver) * 1e3, MinOf(raw) * 1e3, MedianOf(raw) * 1e3, MinOf(ratios), MedianOf(ratios));
}

} // namespace

int main() {
  const TStopwatch run;
  const TTempFolder folder("table_bench");
  TTMDvs *d = MakeDriver(folder.Path());
  // The TM driver type names no configuration file of its own: give it one.
  d->ConfigFile = folder.File("bench_table.dat");
  const size_t recordBytes = 16 * sizeof(TDvrChannelInfo);

  // A 16-channel server, registered anew each time (removed in between,
  // untimed; the registration frees the previous channel array), against
  // allocating, filling and freeing as many bytes.
  std::printf("16-channel server: %zu bytes of channel records; %d times each, in turn\n", recordBytes, Reps);
  std::printf("  %-30s %9s %9s   %9s %9s   %6s %6s\n", "ms", "min", "median", "base min", "median", "ratio", "median");
  const TDvrInfo big = BenchServer("10.8.0.1", 3000, 16);
  std::vector<double> tAdd, tFill, rAdd;
  for (int rep = 0; rep < Reps; ++rep) {
    if (rep > 0) {
      char *ip = NHostString::New("10.8.0.1");
      d->ORVA_Device_DelDvr(ip, 3000);
      NHostString::Release(ip);
    }
    const double fill = TimeFreshFill(recordBytes);
    const TStopwatch w;
    const bool added = d->ORVA_Device_AddDvr(&big);
    const double add = w.Seconds();
    if (!added) {
      std::printf("the 16-channel server was not registered\n");
      return 1;
    }
    tAdd.push_back(add);
    tFill.push_back(fill);
    rAdd.push_back(fill / add);
  }
  PrintRow("AddDvr / malloc+memset+free", tAdd, tFill, rAdd);
  std::printf("  (ratio = base time / AddDvr time per repetition; 1.0 = memory speed)\n\n");

  // A table of the 16-channel server and a few servers of 4 channels, saved and
  // loaded against a raw write and read of the same number of bytes.
  for (int i = 0; i < SmallServers; ++i) {
    const TDvrInfo s = BenchServer("10.6.0." + std::to_string(i + 1), 3000, 4);
    d->ORVA_Device_AddDvr(&s);
  }
  const std::string raw = folder.File("raw.dat");
  double t = 0;
  {
    const TStopwatch w;
    d->SaveDvrTable();
    t = w.Seconds();
  }
  const int64_t fileBytes = FileBytes(d->ConfigFile);
  if (fileBytes <= 0) {
    std::printf("no configuration file at %s\n", d->ConfigFile.c_str());
    return 1;
  }
  std::vector<uint8_t> data(static_cast<size_t>(fileBytes), 0x5A);
  std::vector<double> tSave{t}, tWrite, tLoad, tRead, rSave, rLoad;
  tWrite.push_back(TimeRawWrite(raw, data));
  rSave.push_back(tWrite.back() / tSave.back());
  double firstLoad = 0, firstRead = 0;
  {
    const TStopwatch w;
    d->LoadDvrTable();
    firstLoad = w.Seconds();
  }
  firstRead = TimeRawRead(raw, data);
  for (int rep = 1; rep < FileReps; ++rep) {
    {
      const TStopwatch w;
      d->SaveDvrTable();
      tSave.push_back(w.Seconds());
    }
    tWrite.push_back(TimeRawWrite(raw, data));
    rSave.push_back(tWrite.back() / tSave.back());
    {
      const TStopwatch w;
      d->LoadDvrTable();
      tLoad.push_back(w.Seconds());
    }
    tRead.push_back(TimeRawRead(raw, data));
    rLoad.push_back(tRead.back() / tLoad.back());
  }
  std::printf("configuration file of %d servers: %.1f MB (%lld bytes), in the system's temporary folder;\n"
              "%d saves and loads, in turn with a raw write and read\n",
              SmallServers + 1, fileBytes / 1e6, static_cast<long long>(fileBytes), FileReps);
  std::printf("  %-30s %9s %9s   %9s %9s   %6s %6s\n", "ms", "min", "median", "raw min", "median", "ratio", "median");
  PrintRow("save / raw write", tSave, tWrite, rSave);
  PrintRow("repeated load / raw read", tLoad, tRead, rLoad);
  std::printf("  %-30s %9.2f %9s   %9.2f %9s   %6.2f\n", "first load / raw read", firstLoad * 1e3, "", firstRead * 1e3,
              "", firstRead / firstLoad);
  std::printf("  (ratio = raw time / driver time; 1.0 = the speed of a raw write or read of as many bytes)\n\n");

  // Registration time as the table grows: 200 servers of 4 channels.
  std::vector<double> each;
  for (int i = 0; i < 200; ++i) {
    const TDvrInfo s = BenchServer("10.9." + std::to_string(i / 250) + "." + std::to_string(i % 250), 3000, 4);
    const TStopwatch w;
    d->ORVA_Device_AddDvr(&s);
    each.push_back(w.Seconds());
  }
  auto mean = [&](int from, int to) {
    double sum = 0;
    for (int i = from; i < to; ++i) sum += each[i];
    return sum / (to - from) * 1e6;
  };
  std::printf("200 more servers of 4 channels (%zu bytes of channel records each), after the %d above:\n",
              4 * sizeof(TDvrChannelInfo), SmallServers + 1);
  for (int b = 0; b < 200; b += 50)
    std::printf("  registrations %3d-%3d: %8.1f us each\n", b + 1, b + 50, mean(b, b + 50));
  std::printf("  ratio last 50 / first 50: %.2f (1.0 = no growth with the table)\n", mean(150, 200) / mean(0, 50));

  InterfaceRelease(d->DriverInterface());
  std::printf("whole run: %.1f s\n", run.Seconds());
  return 0;
}
