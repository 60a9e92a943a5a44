// Encoding and decoding speed of the standard codec on the messages this host sees, next to two
// anchors measured in the same run: memcpy of the same byte count (the limit for any decoder
// that copies) and msgpack-c packing and unpacking the equivalent messages. The figures are
// printed as ratios to the anchors, which mean more across machines than nanoseconds do.
//
// Names are OPERATION/CASE/IMPLEMENTATION; the reporter at the end pairs them up.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#define MSGPACK_NO_BOOST
#include <msgpack.hpp>

#include "embedding/byte_streams.h"
#include "embedding/encodable_value.h"
#include "embedding/method_call.h"
#include "embedding/standard_codec_serializer.h"
#include "embedding/standard_method_codec.h"

namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;

const flutter::StandardCodecSerializer& Serializer() {
  return flutter::StandardCodecSerializer::SharedInstance();
}

const flutter::StandardMethodCodec& Codec() {
  return flutter::StandardMethodCodec::SharedInstance();
}

// ---- The messages ----

struct Endpoint {
  const char* ip;
  int32_t port;
  const char* protocol;
};
const Endpoint kEndpoints[] = {{"203.0.113.10", 443, "tcp"},
                               {"203.0.113.11", 443, "udp"},
                               {"198.51.100.7", 8443, "tcp"},
                               {"198.51.100.8", 51820, "udp"}};

EncodableValue KillSwitchArguments() {
  EncodableList endpoints;
  for (const Endpoint& endpoint : kEndpoints) {
    endpoints.push_back(EncodableMap{
        {"ip", endpoint.ip}, {"port", endpoint.port}, {"protocol", endpoint.protocol}});
  }
  return EncodableMap{
      {"endpoints", std::move(endpoints)}, {"allowLan", true}, {"blockIpv6OutsideVpn", true}};
}

constexpr size_t kByteListSize = 1 << 20;
constexpr size_t kInt64Count = 100000;
constexpr size_t kDoubleCount = 10000;
constexpr size_t kMapSize = 1000;

std::vector<uint8_t> ByteListContent() {
  std::vector<uint8_t> bytes(kByteListSize);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(i * 131 + 7);
  }
  return bytes;
}

// Values that need all 64 bits, so msgpack cannot shorten them either.
std::vector<int64_t> Int64Content() {
  std::vector<int64_t> numbers(kInt64Count);
  for (size_t i = 0; i < numbers.size(); ++i) {
    numbers[i] = static_cast<int64_t>(0x0123456789ABCDEFULL * (i + 1));
  }
  return numbers;
}

std::vector<double> DoubleContent() {
  std::vector<double> numbers(kDoubleCount);
  for (size_t i = 0; i < numbers.size(); ++i) {
    numbers[i] = static_cast<double>(i) * 1.0001 - 17.5;
  }
  return numbers;
}

std::string MapKey(size_t i) {
  return "setting." + std::to_string(i);
}

EncodableValue MapContent() {
  EncodableMap map;
  for (size_t i = 0; i < kMapSize; ++i) {
    map[EncodableValue(MapKey(i))] = static_cast<int32_t>(i * 7919);
  }
  return map;
}

// msgpack forms of the same messages.
void PackCall(msgpack::packer<msgpack::sbuffer>& packer) {
  packer.pack_array(2);
  packer.pack(std::string("enableKillSwitch"));
  packer.pack_map(3);
  packer.pack(std::string("allowLan"));
  packer.pack(true);
  packer.pack(std::string("blockIpv6OutsideVpn"));
  packer.pack(true);
  packer.pack(std::string("endpoints"));
  packer.pack_array(4);
  for (const Endpoint& endpoint : kEndpoints) {
    packer.pack_map(3);
    packer.pack(std::string("ip"));
    packer.pack(std::string(endpoint.ip));
    packer.pack(std::string("port"));
    packer.pack(endpoint.port);
    packer.pack(std::string("protocol"));
    packer.pack(std::string(endpoint.protocol));
  }
}

const std::vector<uint8_t>& ByteListValue() {
  static const std::vector<uint8_t> bytes = ByteListContent();
  return bytes;
}
const std::vector<int64_t>& Int64Value() {
  static const std::vector<int64_t> numbers = Int64Content();
  return numbers;
}
const std::vector<double>& DoubleValue() {
  static const std::vector<double> numbers = DoubleContent();
  return numbers;
}

void PackByteList(msgpack::packer<msgpack::sbuffer>& packer) {
  const auto& bytes = ByteListValue();
  packer.pack_bin(static_cast<uint32_t>(bytes.size()));
  packer.pack_bin_body(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<uint32_t>(bytes.size()));
}
void PackInt64List(msgpack::packer<msgpack::sbuffer>& packer) {
  const auto& numbers = Int64Value();
  packer.pack_array(static_cast<uint32_t>(numbers.size()));
  for (int64_t number : numbers) {
    packer.pack_int64(number);
  }
}
void PackDoubleList(msgpack::packer<msgpack::sbuffer>& packer) {
  const auto& numbers = DoubleValue();
  packer.pack_array(static_cast<uint32_t>(numbers.size()));
  for (double number : numbers) {
    packer.pack_double(number);
  }
}
void PackMap(msgpack::packer<msgpack::sbuffer>& packer) {
  packer.pack_map(static_cast<uint32_t>(kMapSize));
  for (size_t i = 0; i < kMapSize; ++i) {
    packer.pack(MapKey(i));
    packer.pack_int32(static_cast<int32_t>(i * 7919));
  }
}

using Packer = void (*)(msgpack::packer<msgpack::sbuffer>&);

std::vector<uint8_t> Encode(const EncodableValue& value) {
  std::vector<uint8_t> bytes;
  flutter::ByteBufferStreamWriter writer(&bytes);
  Serializer().WriteValue(value, &writer);
  return bytes;
}

const flutter::MethodCall<EncodableValue>& KillSwitchCall() {
  static const flutter::MethodCall<EncodableValue> call(
      "enableKillSwitch", std::make_unique<EncodableValue>(KillSwitchArguments()));
  return call;
}

// ---- Benchmarks ----

void SetBytes(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void EncodeCallOurs(benchmark::State& state) {
  const auto& call = KillSwitchCall();
  const auto& codec = Codec();
  for (auto _ : state) {
    std::vector<uint8_t> message = codec.EncodeCall(call);
    benchmark::DoNotOptimize(message.data());
  }
}

void DecodeCallOurs(benchmark::State& state, const std::vector<uint8_t>* message) {
  const auto& codec = Codec();
  for (auto _ : state) {
    auto call = codec.DecodeCall(message->data(), message->size());
    benchmark::DoNotOptimize(call.get());
  }
  SetBytes(state, message->size());
}

void EncodeValueOurs(benchmark::State& state, const EncodableValue* value, size_t bytes) {
  for (auto _ : state) {
    std::vector<uint8_t> encoded;
    flutter::ByteBufferStreamWriter writer(&encoded);
    Serializer().WriteValue(*value, &writer);
    benchmark::DoNotOptimize(encoded.data());
  }
  SetBytes(state, bytes);
}

void DecodeValueOurs(benchmark::State& state, const std::vector<uint8_t>* encoded) {
  for (auto _ : state) {
    flutter::ByteBufferStreamReader reader(encoded->data(), encoded->size());
    EncodableValue value = Serializer().ReadValue(&reader);
    benchmark::DoNotOptimize(&value);
  }
  SetBytes(state, encoded->size());
}

void Memcpy(benchmark::State& state, size_t bytes) {
  std::vector<uint8_t> source(bytes, 0x5A);
  std::vector<uint8_t> destination(bytes, 0);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), bytes);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state, bytes);
}

void PackMsgpack(benchmark::State& state, Packer pack) {
  for (auto _ : state) {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    pack(packer);
    benchmark::DoNotOptimize(buffer.data());
  }
}

void UnpackMsgpack(benchmark::State& state, const msgpack::sbuffer* packed) {
  for (auto _ : state) {
    msgpack::object_handle handle = msgpack::unpack(packed->data(), packed->size());
    benchmark::DoNotOptimize(handle.get().type);
  }
  SetBytes(state, packed->size());
}

struct Message {
  const char* name;
  Packer pack;
  std::vector<uint8_t> encoded;
  msgpack::sbuffer packed;
  EncodableValue value;
};

std::vector<std::unique_ptr<Message>>& Messages() {
  static std::vector<std::unique_ptr<Message>> messages;
  return messages;
}

void RegisterAll() {
  auto add = [](const char* name, Packer pack, EncodableValue value) {
    auto message = std::make_unique<Message>();
    message->name = name;
    message->pack = pack;
    message->value = std::move(value);
    msgpack::packer<msgpack::sbuffer> packer(message->packed);
    pack(packer);
    Messages().push_back(std::move(message));
  };
  add("call", PackCall, EncodableValue());
  Messages().back()->encoded = Codec().EncodeCall(KillSwitchCall());
  add("bytes_1MiB", PackByteList, EncodableValue(ByteListValue()));
  add("int64_100k", PackInt64List, EncodableValue(Int64Value()));
  add("double_10k", PackDoubleList, EncodableValue(DoubleValue()));
  add("map_1000", PackMap, MapContent());

  for (auto& owned : Messages()) {
    Message* message = owned.get();
    const std::string name = message->name;
    const bool is_call = name == "call";
    if (!is_call) {
      message->encoded = Encode(message->value);
    }
    const size_t bytes = message->encoded.size();
    if (is_call) {
      benchmark::RegisterBenchmark(("Encode/" + name + "/orvane").c_str(), EncodeCallOurs);
      benchmark::RegisterBenchmark(("Decode/" + name + "/orvane").c_str(), DecodeCallOurs,
                                   &message->encoded);
    } else {
      benchmark::RegisterBenchmark(("Encode/" + name + "/orvane").c_str(), EncodeValueOurs,
                                   &message->value, bytes);
      benchmark::RegisterBenchmark(("Decode/" + name + "/orvane").c_str(), DecodeValueOurs,
                                   &message->encoded);
    }
    benchmark::RegisterBenchmark(("Copy/" + name + "/memcpy").c_str(), Memcpy, bytes);
    benchmark::RegisterBenchmark(("Encode/" + name + "/msgpack").c_str(), PackMsgpack,
                                 message->pack);
    benchmark::RegisterBenchmark(("Decode/" + name + "/msgpack").c_str(), UnpackMsgpack,
                                 &message->packed);
  }
}

// ---- Ratios ----

// Prints the usual table, keeps each benchmark's CPU time per iteration (the median when the run is
// repeated), and at the end prints our figures against the anchors.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) {
        continue;
      }
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (single || median) {
        nanoseconds_[run.run_name.function_name] =
            run.GetAdjustedCPUTime() * Multiplier(run.time_unit);
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nRatios (time per message; memcpy copies the same byte count as our encoding)\n");
    std::printf("%-12s %-7s %12s %14s %18s %12s\n", "message", "op", "orvane ns", "memcpy bw %",
                "x msgpack time", "bytes");
    for (const auto& message : Messages()) {
      for (const char* op : {"Encode", "Decode"}) {
        const std::string name = message->name;
        const double ours = Find(std::string(op) + "/" + name + "/orvane");
        const double copy = Find("Copy/" + name + "/memcpy");
        const double msgpack = Find(std::string(op) + "/" + name + "/msgpack");
        if (ours <= 0) {
          continue;
        }
        std::printf("%-12s %-7s %12.0f %13.1f%% %18.2f %12zu\n", name.c_str(), op, ours,
                    copy > 0 ? 100.0 * copy / ours : 0.0, msgpack > 0 ? ours / msgpack : 0.0,
                    message->encoded.size());
      }
    }
    Target("1 MiB byte list decode, share of memcpy bandwidth", "Copy/bytes_1MiB/memcpy",
           "Decode/bytes_1MiB/orvane", 0.5, true);
    Target("100k int64 typed list decode, share of memcpy bandwidth", "Copy/int64_100k/memcpy",
           "Decode/int64_100k/orvane", 0.5, true);
    Target("call decode, times msgpack-c unpack", "Decode/call/orvane", "Decode/call/msgpack", 2.0,
           false);
    Target("call encode, times msgpack-c pack", "Encode/call/orvane", "Encode/call/msgpack", 2.0,
           false);
    Target("1,000-key map decode, times msgpack-c unpack", "Decode/map_1000/orvane",
           "Decode/map_1000/msgpack", 2.0, false);
  }

 private:
  static double Multiplier(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kSecond:
        return 1e9;
      case benchmark::kMillisecond:
        return 1e6;
      case benchmark::kMicrosecond:
        return 1e3;
      default:
        return 1.0;
    }
  }

  double Find(const std::string& name) const {
    auto found = nanoseconds_.find(name);
    return found == nanoseconds_.end() ? -1.0 : found->second;
  }

  // ratio = numerator / denominator; at least `bound` when `at_least`, else at most.
  void Target(const char* what, const std::string& numerator, const std::string& denominator,
              double bound, bool at_least) const {
    const double top = Find(numerator);
    const double bottom = Find(denominator);
    if (top <= 0 || bottom <= 0) {
      return;
    }
    const double ratio = top / bottom;
    const bool met = at_least ? ratio >= bound : ratio <= bound;
    std::printf("target: %-56s %6.2f (%s %.2f) %s\n", what, ratio, at_least ? ">=" : "<=", bound,
                met ? "met" : "NOT met");
  }

  std::map<std::string, double> nanoseconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  RegisterAll();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
