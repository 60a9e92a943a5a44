// What the messaging layer costs on top of the codec: one "isKillSwitchEnabled" call on
// "vpn/native" delivered by an engine, decoded by the channel, answered Success(true) by the
// handler, the response bytes collected again; against the bare encode and decode of the same
// call, measured in the same run.
//
// Built twice. messaging_round_trip_bench delivers through the least an engine does for a
// message (below): the figure is our messenger's and channel's own cost. The other build,
// messaging_round_trip_standin_bench, delivers through the stand-in engine of the tests, whose
// bookkeeping (a log, two locks and a hash map per call) is counted in with it; it is printed for
// comparison only.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "embedding/binary_messenger_impl.h"
#include "embedding/encodable_value.h"
#include "embedding/method_call_channel.h"
#include "embedding/standard_method_codec.h"

#ifdef ORVANE_ROUND_TRIP_OVER_STANDIN
#include "standins/engine/engine_messaging.h"
#else
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>

#include "embedding/flutter_messenger.h"
#endif

#ifndef ORVANE_ROUND_TRIP_OVER_STANDIN
// The least an engine does for one message: a reference-counted messenger, a lock the host holds
// around its response, one callback per channel, and the response copied once. One channel and
// one message at a time, which is all the benchmark needs.
struct FlutterDesktopMessenger {
  std::atomic<int> references{1};
  std::mutex lock;
  bool available = true;
  FlutterDesktopMessageCallback callback = nullptr;
  void* user_data = nullptr;
  const FlutterDesktopMessageResponseHandle* pending = nullptr;
  bool answered = false;
  std::vector<uint8_t> response;
};

extern "C" {

bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef, const char*, const uint8_t*, size_t) {
  return false;
}

bool FlutterDesktopMessengerSendWithReply(FlutterDesktopMessengerRef, const char*, const uint8_t*,
                                          size_t, FlutterDesktopBinaryReply, void*) {
  return false;
}

void FlutterDesktopMessengerSendResponse(FlutterDesktopMessengerRef messenger,
                                         const FlutterDesktopMessageResponseHandle* handle,
                                         const uint8_t* data, size_t data_length) {
  if (handle != messenger->pending || messenger->answered) {
    return;
  }
  messenger->answered = true;
  messenger->response.assign(data, data + data_length);
}

void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger, const char*,
                                        FlutterDesktopMessageCallback callback, void* user_data) {
  messenger->callback = callback;
  messenger->user_data = user_data;
}

FlutterDesktopMessengerRef FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger) {
  messenger->references.fetch_add(1, std::memory_order_relaxed);
  return messenger;
}

void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger) {
  if (messenger->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete messenger;
  }
}

bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger) {
  return messenger->available;
}

FlutterDesktopMessengerRef FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger) {
  messenger->lock.lock();
  return messenger;
}

void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger) {
  messenger->lock.unlock();
}

}  // extern "C"
#endif

namespace {

using flutter::EncodableValue;
using flutter::MethodCall;
using flutter::MethodResult;
using flutter::StandardMethodCodec;

#ifdef ORVANE_ROUND_TRIP_OVER_STANDIN
class Engine : public standin::EngineMessaging {
 public:
  Engine() { SetCallLogging(false); }  // the log would grow with every call
};
constexpr const char* kWhat = "round trip through the stand-in engine (for comparison)";
#else
class Engine {
 public:
  Engine() : messenger_(new FlutterDesktopMessenger) {}
  ~Engine() {
    {
      std::lock_guard<std::mutex> hold(messenger_->lock);
      messenger_->available = false;
    }
    FlutterDesktopMessengerRelease(messenger_);
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  FlutterDesktopMessengerRef messenger() const { return messenger_; }

  // Delivers `message` on the one channel; its response, or null when there was none.
  const std::vector<uint8_t>* Exchange(const char* channel, std::span<const uint8_t> message) {
    if (messenger_->callback == nullptr) {
      return nullptr;
    }
    next_handle_ += 16;  // never dereferenced: a distinct token per message
    messenger_->pending =
        reinterpret_cast<const FlutterDesktopMessageResponseHandle*>(next_handle_);
    messenger_->answered = false;
    const FlutterDesktopMessage record{sizeof(FlutterDesktopMessage), channel, message.data(),
                                       message.size(), messenger_->pending};
    messenger_->callback(messenger_, &record, messenger_->user_data);
    return messenger_->answered ? &messenger_->response : nullptr;
  }

 private:
  FlutterDesktopMessenger* messenger_;
  uintptr_t next_handle_ = 0;
};
constexpr const char* kWhat = "call round trip, times the bare encode and decode";
constexpr double kBound = 1.5;
#endif

constexpr const char* kBare = "BareEncodeDecode";
constexpr const char* kRoundTrip = "MessagingRoundTrip";

void BareEncodeDecode(benchmark::State& state) {
  const StandardMethodCodec& codec = StandardMethodCodec::SharedInstance();
  for (auto _ : state) {
    const MethodCall<EncodableValue> call("isKillSwitchEnabled", nullptr);
    const std::vector<uint8_t> bytes = codec.EncodeCall(call);
    std::unique_ptr<MethodCall<EncodableValue>> decoded =
        codec.DecodeCall(bytes.data(), bytes.size());
    benchmark::DoNotOptimize(decoded.get());
  }
  state.SetItemsProcessed(state.iterations());
}

void MessagingRoundTrip(benchmark::State& state) {
  const StandardMethodCodec& codec = StandardMethodCodec::SharedInstance();
  Engine engine;
  flutter::BinaryMessengerImpl messenger(engine.messenger());
  flutter::MethodCallChannel<EncodableValue> channel(&messenger, "vpn/native", &codec);
  channel.SetCallHandler([](const MethodCall<EncodableValue>& call,
                            std::unique_ptr<MethodResult<EncodableValue>> result) {
    if (call.method_name() == "isKillSwitchEnabled") {
      result->Success(EncodableValue(true));
    } else {
      result->NotImplemented();
    }
  });
  const std::vector<uint8_t> message =
      codec.EncodeCall(MethodCall<EncodableValue>("isKillSwitchEnabled", nullptr));
  const std::vector<uint8_t> expected{0x00, 0x01};

  for (auto _ : state) {
    const auto response = engine.Exchange("vpn/native", message);
    if (!response || *response != expected) {
      state.SkipWithError("the round trip did not answer Success(true)");
      break;
    }
    benchmark::DoNotOptimize(response);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BareEncodeDecode)->Name(kBare);
BENCHMARK(MessagingRoundTrip)->Name(kRoundTrip);

// Prints as usual and keeps each benchmark's calls per second for the ratio: the median over
// repetitions when there are several (--benchmark_repetitions), else the single run. CPU time,
// as the machines that run this are shared and wall time counts other programs' turns.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) {
        continue;
      }
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) {
        continue;
      }
      const std::string& name = run.run_name.function_name;
      if (!median && medians_.count(name) != 0) {
        continue;
      }
      const double seconds_per_call =
          run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      calls_per_second_[name] = 1.0 / seconds_per_call;
      if (median) {
        medians_.insert(name);
      }
    }
  }

  std::optional<double> CallsPerSecond(const std::string& name) const {
    const auto found = calls_per_second_.find(name);
    return found == calls_per_second_.end() ? std::nullopt : std::optional(found->second);
  }

 private:
  std::map<std::string, double> calls_per_second_;
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const std::optional<double> bare = reporter.CallsPerSecond(kBare);
  const std::optional<double> round_trip = reporter.CallsPerSecond(kRoundTrip);
  if (!bare || !round_trip) {
    std::printf("round-trip ratio: not measured (both benchmarks must run)\n");
    return 1;
  }
  const double ratio = *bare / *round_trip;
  std::printf("bare encode+decode: %.0f calls/s\n", *bare);
  std::printf("messaging round trip: %.0f calls/s\n", *round_trip);
#ifdef ORVANE_ROUND_TRIP_OVER_STANDIN
  std::printf("%-58s %6.2f\n", kWhat, ratio);
#else
  std::printf("target: %-56s %6.2f (<= %.2f) %s\n", kWhat, ratio, kBound,
              ratio <= kBound ? "met" : "NOT met");
#endif
  return 0;
}
