// tarnwick-write VALUE: writes VALUE to the converter exactly as the window does and prints
// what the operator would see.
#include <cstdio>
#include <string>
#include <utility>

#include "control/numeric_prefix.hpp"
#include "control/setpoint_write.hpp"
#include "link/controller_link.hpp"

namespace {

class ConsoleWindow final : public tarnwick::control::SetpointWindow {
 public:
  explicit ConsoleWindow(std::string text) : text_(std::move(text)) {}
  std::string SetpointText() const override { return text_; }
  void SetSerialCaption(const std::string& caption) override { caption_ = caption; }
  void SetSetpointColour(std::uint32_t colour) override { colour_ = colour; }
  const std::string& Caption() const { return caption_; }
  std::uint32_t Colour() const { return colour_; }

 private:
  std::string text_;
  std::string caption_;
  std::uint32_t colour_ = tarnwick::control::kColourGrey;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarnwick-write VALUE   (0 to 2047 counts)\n");
    return 2;
  }
  std::string status;
  tarnwick::link::ControllerLink link(tarnwick::platform::SystemOs(), status);
  ConsoleWindow window(argv[1]);
  tarnwick::control::UpdateDAC(link, window);
  const auto bytes =
      tarnwick::control::SetpointBytes(tarnwick::control::NumericPrefixValue(argv[1]));
  std::printf("wrote %d counts\n", bytes.low | bytes.high << 8);
  if (!window.Caption().empty()) std::printf("serial-number line: %s\n", window.Caption().c_str());
  if (!status.empty()) std::printf("status: %s\n", status.c_str());
  return status.empty() ? 0 : 1;
}
