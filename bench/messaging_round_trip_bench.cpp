// What the messaging layer costs on top of the codec: one "isKillSwitchEnabled" call on
// "vpn/native" delivered by the stand-in engine, decoded by the channel, answered Success(true)
// by the handler, the response bytes collected again; against the bare encode and decode of
// the same call, measured in the same run.
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
#include "standins/engine/engine_messaging.h"

namespace {

using flutter::EncodableValue;
using flutter::MethodCall;
using flutter::MethodResult;
using flutter::StandardMethodCodec;

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
  standin::EngineMessaging engine;
  engine.SetCallLogging(false);  // the log would grow with every call
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
    std::optional<std::vector<uint8_t>> response = engine.Exchange("vpn/native", message);
    if (!response || *response != expected) {
      state.SkipWithError("the round trip did not answer Success(true)");
      break;
    }
    benchmark::DoNotOptimize(response->data());
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
  std::printf("bare encode+decode: %.0f calls/s\n", *bare);
  std::printf("messaging round trip: %.0f calls/s\n", *round_trip);
  std::printf("round-trip ratio (bare / round trip): %.2f\n", *bare / *round_trip);
  return 0;
}
