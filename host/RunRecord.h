// RunRecord.h - what the demo host keeps of a run for its report: a sample
// each second (frames per channel, each server's state, the process's memory
// and handles), the scenario's events as they fired, the driver's own stream
// lines, and the summary with its verdict.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace NDemo {

// One second of the run.
struct TSample {
  double t = 0;                 // seconds since Init
  std::vector<double> fps;      // per channel, all servers in order (server 0's channels first)
  std::vector<int> state;       // per server: 1 on line, 0 off line, -1 no report / not registered / deleted
  int64_t privateBytes = 0;     // the host process's private memory
  int64_t handles = 0;          // the host process's handle count
  int64_t threads = 0;          // the host process's threads
};

// A scenario event as it fired.
struct TEventMark {
  double t = 0;
  std::string kind;   // open, close, break, reset, add, delete, corrupt, shutdown
  int server = -1;    // index into TRunRecord::servers; -1 for shutdown
  int channel = -1;   // -1: every channel
};

// One channel's part of a stream line of the driver (see DriverStats.h).
struct TDriverChannelStats {
  int channel = 0;
  double fps = 0, kbps = 0;
  int64_t video = 0, audio = 0, bytes = 0;
  int64_t drop = 0, miss = 0;
  bool idle = false; // the line said it delivered no frame since the last pass
};

// A stream line of the driver, at the time the host read it.
struct TDriverStatsMark {
  double t = 0;
  int server = -1;    // index into TRunRecord::servers
  double span = 0;    // seconds the line covers
  std::vector<TDriverChannelStats> channels;
};

struct TServerInfo {
  std::string name, address;
  int32_t port = 0;
  int channels = 0;
  int firstChannel = 0; // index of its channel 0 in TSample::fps
};

// One row of the per-channel summary.
struct TChannelSummary {
  int server = 0, channel = 0;
  double openSeconds = 0;
  int64_t video = 0, key = 0, header = 0, audio = 0, bytes = 0, bad = 0, gaps = 0;
  int64_t driverVideo = -1, driverDrop = 0, driverMiss = 0; // summed from the driver's lines; -1 none seen
};

struct TRunRecord {
  std::string title;
  std::string logPath;
  double duration = 0;      // the scenario's shutdown time, seconds
  double warmUp = 0;        // memory and handles are judged after this (0: not judged)
  std::vector<TServerInfo> servers;
  std::vector<TSample> samples;
  std::vector<TEventMark> events;
  std::vector<TDriverStatsMark> driverLines;
  std::vector<TChannelSummary> channels;
  std::vector<std::string> problems; // empty: PASS
  bool finished = false;             // the run reached its end (the report is final)
};

} // namespace NDemo
