// The instrument's SCPI against any bytes a client can send: it never writes a value outside
// the converter's range, never answers but whole lines, and keeps its queue bounded.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "scpi/instrument.hpp"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// Fails as the first byte says, so the hardware errors are fuzzed too.
class Device final : public tarnwick::scpi::Device {
 public:
  explicit Device(std::uint8_t mode) : mode_(mode) {}
  tarnwick::scpi::DeviceResult Write(int counts) override {
    Require(counts >= 0 && counts <= 2047);
    if (mode_ % 3 == 1) return {tarnwick::scpi::kHardwareError, "in \"use\""};
    if (mode_ % 3 == 2) return {tarnwick::scpi::kHardwareMissing, ""};
    return {};
  }
  std::optional<std::uint32_t> Serial() override {
    if (mode_ % 3 == 0) return mode_;
    return std::nullopt;
  }

 private:
  std::uint8_t mode_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Device device(data[0]);
  tarnwick::scpi::Instrument instrument(device, "0");
  tarnwick::scpi::ClientState client;
  tarnwick::scpi::MessageBuffer buffer;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  buffer.Feed(
      bytes,
      [&](std::string_view line) {
        Require(line.size() <= tarnwick::scpi::MessageBuffer::kMaxMessage);
        const std::string answer = instrument.Execute(client, line);
        Require(answer.empty() || answer.find('\n') == answer.size() - 1);
        Require(instrument.HeldCounts() >= 0 && instrument.HeldCounts() <= 2047);
      },
      [&] { tarnwick::scpi::QueueError(client, tarnwick::scpi::kInputBufferOverrun); });
  Require(client.errors.Count() <= tarnwick::scpi::ErrorQueue::kCapacity);
  return 0;
}
