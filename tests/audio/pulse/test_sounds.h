// Sounds for the sound-server tests: a FIFO source kept delivering one
// frame, and a player of one frame.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sound_server.h"

namespace kestravo::testing {

// Keeps a FIFO source delivering one stereo frame, (v, -v), over and over,
// a little ahead of real time, until the test is done.
class ConstantFifo {
 public:
  ConstantFifo(const std::string& path, float value, bool float_samples)
      : thread_([this, path, value, float_samples] {
          std::string frame;
          for (const float v : {value, -value}) {
            if (float_samples) {
              frame.append(reinterpret_cast<const char*>(&v), 4);
            } else {
              const auto sample = static_cast<std::int16_t>(v * 32768.0F);
              frame.append(reinterpret_cast<const char*>(&sample), 2);
            }
          }
          std::string piece;
          while (piece.size() + frame.size() <= 4096) piece += frame;
          const std::size_t piece_frames = piece.size() / frame.size();
          const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
          if (fd < 0) return;
          const auto start = std::chrono::steady_clock::now();
          std::size_t frames = 0;
          while (!stop_) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
            if (frames < static_cast<std::size_t>(ms + 100) * 48 &&
                ::write(fd, piece.data(), piece.size()) > 0) {
              frames += piece_frames;
            } else {
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
          }
          ::close(fd);
        }) {}
  ~ConstantFifo() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Plays (v, -v) at 48 kHz for a minute with `option` (a sink, a property),
// from the moment the server lists its stream. Both servers move a stream
// that plays into the default sink to the new default.
class Player {
 public:
  Player(const SoundServer& server, std::int16_t value, const std::string& option) {
    std::string frame;
    for (const std::int16_t v : {value, static_cast<std::int16_t>(-value)}) {
      frame.append(reinterpret_cast<const char*>(&v), 2);
    }
    std::string bytes;
    for (int i = 0; i < 48000 * 60; ++i) bytes += frame;
    const auto streams = [&] {
      const std::string list = server.pactl({"list", "short", "sink-inputs"});
      return std::count(list.begin(), list.end(), '\n');
    };
    const auto before = streams();
    child_ = std::make_unique<Child>(
        "/usr/bin/pacat",
        std::vector<std::string>{"--playback", option, "--raw", "--format=s16le", "--rate=48000",
                                 "--channels=2", "--latency-msec=10",
                                 dir_.write("tone.raw", bytes)},
        server.client_options());
    for (int i = 0; i < 500 && streams() <= before; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

 private:
  TempDir dir_;
  std::unique_ptr<Child> child_;
};

inline double seconds_between(std::chrono::steady_clock::time_point from,
                              std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// How late a thread that sleeps 5 ms at a time wakes, at worst, while it
// lives: what the machine's load adds to the tool's own pace, which the
// bounds on the PCM's length leave room for.
class SchedulingLag {
 public:
  SchedulingLag()
      : thread_([this] {
          while (!done_) {
            const auto before = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const double late = seconds_between(before, std::chrono::steady_clock::now()) - 0.005;
            worst_ = std::max(worst_.load(), late);
          }
        }) {}
  ~SchedulingLag() {
    done_ = true;
    thread_.join();
  }
  // Room for two such wake-ups: the server's loop thread and the tool's.
  double slack() const { return 2 * worst_.load(); }

 private:
  std::atomic<bool> done_{false};
  std::atomic<double> worst_{0};
  std::thread thread_;
};

}  // namespace kestravo::testing
