#include "serve.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <list>
#include <optional>
#include <string>

#include "control/serial_poll.hpp"
#include "control/setpoint_write.hpp"
#include "host.hpp"
#include "link/controller_link.hpp"
#include "mark/setpoint_mark.hpp"
#include "platform/net.hpp"
#include "scpi/instrument.hpp"

namespace tarnwick::app {

namespace {

namespace net = platform::net;
using Clock = std::chrono::steady_clock;

constexpr int kExitStopped = 0;
constexpr int kExitTaken = 2;
constexpr int kExitUsage = 64;

constexpr std::size_t kMaxClients = 4;
// What may wait for a client that does not read its answers before it is dropped: far more
// than any exchange needs, little enough for four of them.
constexpr std::size_t kMaxUnsent = 64 * 1024;
// Read per client and round, so a flood from one is served in turns with the others.
constexpr std::size_t kReadChunk = 1024;
constexpr auto kPollInterval = std::chrono::milliseconds(1000);

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  // A reader gone is a failed write (SIGPIPE is off); a pipe nobody reads would hold the loop
  // once full, so the lines are few: one per client come or gone.
  std::fflush(stdout);
}

// "HOST:PORT" or "[V6]:PORT", the port a number up to 65535.
bool SplitListen(const std::string& text, std::string& host, std::string& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // a v6 address goes in brackets
  }
  if (host.empty() || port.empty() || port.size() > 5) return false;
  for (const char c : port) {
    if (c < '0' || c > '9') return false;
  }
  return std::stoul(port) <= 65535;
}

std::string Reason(std::int32_t error) {
  std::string text = platform::SystemOs().errorText(error);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text.empty() ? "error " + std::to_string(error) : text;
}

// The window's side of a write or a poll: the held counts as its text; a caption the poll
// shows is told on the console when it changes.
class HeldSetpoint final : public control::SetpointWindow {
 public:
  explicit HeldSetpoint(int counts, std::string* caption = nullptr)
      : counts_(counts), caption_(caption) {}
  std::string SetpointText() const override { return std::to_string(counts_); }
  void SetSerialCaption(const std::string& caption) override {
    if (caption_ != nullptr && caption != *caption_) Say(caption);
    if (caption_ != nullptr) *caption_ = caption;
  }
  void SetSetpointColour(std::uint32_t) override {}

 private:
  int counts_;
  std::string* caption_;
};

// The controller as the instrument sees it, through the window's own link and write: each
// call one device session under the machine's session lock.
class LinkDevice final : public scpi::Device {
 public:
  scpi::DeviceResult Write(int counts) override {
    std::string status;
    link::ControllerLink link(platform::SystemOs(), status);
    HeldSetpoint window(counts);
    const std::uint64_t failedBefore = link.FailedTransfers();
    control::UpdateDAC(link, window);
    if (!status.empty()) return OpenFailure(link);
    if (link.FailedTransfers() != failedBefore) {
      return {scpi::kHardwareError, "the controller at " + link.DevicePath() + " did not answer" +
                                        TransferReason(link) + ": the output is uncertain"};
    }
    return {};
  }

  std::optional<std::uint32_t> Serial() override {
    std::string status;
    link::ControllerLink link(platform::SystemOs(), status);
    link.OpenDevice();
    link::DeviceSession session(link);
    const std::uint64_t failedBefore = link.FailedTransfers();
    const std::uint32_t serial = control::ReadSerialNumber(link);
    if (!status.empty() || link.FailedTransfers() != failedBefore) return std::nullopt;
    return serial;
  }

 private:
  static std::string TransferReason(const link::ControllerLink& link) {
    return link.TransferError() != 0 ? " (" + Reason(link.TransferError()) + ")" : "";
  }

  // Nothing went out: -241 when nothing is there to open, -240 when it is there but busy or
  // the platform failed.
  static scpi::DeviceResult OpenFailure(const link::ControllerLink& link) {
    const std::string& path = link.DevicePath();
    if (link.StatusText() != link::kNoControllerText) {
      return {scpi::kHardwareError, link.StatusText()};
    }
    if (path.empty()) {
      return {scpi::kHardwareMissing, "nothing is registered at " + RegistryLocation()};
    }
    if (BusyError(link.OpenError())) {
      return {scpi::kHardwareError,
              "the controller at " + path + " is in use by another program: nothing was sent"};
    }
    return {scpi::kHardwareMissing,
            "the controller at " + path + " did not open (" + Reason(link.OpenError()) + ")"};
  }
};

struct Client {
  net::Socket socket;
  std::string peer;
  scpi::ClientState state;
  scpi::MessageBuffer input;
  std::string unsent;
};

class Server {
 public:
  Server(net::Socket listener, scpi::Instrument& instrument)
      : listener_(listener), instrument_(instrument) {}
  ~Server() {
    for (const Client& client : clients_) net::Close(client.socket);
    net::Close(listener_);
  }

  bool Run() {
    std::optional<std::string> lastSerial;
    std::string caption;
    Clock::time_point nextPoll = Clock::now() + kPollInterval;
    while (!net::StopRequested()) {
      std::vector<net::Watch> watches{{listener_}};
      for (const Client& client : clients_)
        watches.push_back({client.socket, !client.unsent.empty()});
      const auto wait =
          std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - Clock::now());
      if (!net::Wait(watches,
                     std::max(wait, std::chrono::milliseconds(0)) + std::chrono::milliseconds(1))) {
        return false;
      }
      if (Clock::now() >= nextPoll) {
        // The window's poll: the serial read and, when the controller opened, the held
        // set-point written again, so a re-plugged board has it back within a second.
        std::string status;
        link::ControllerLink link(platform::SystemOs(), status);
        HeldSetpoint window(instrument_.HeldCounts(), &caption);
        control::PollSerialNumber(link, window, lastSerial);
        nextPoll = std::max(nextPoll + kPollInterval, Clock::now());
      }
      auto watch = watches.begin() + 1;
      for (auto client = clients_.begin(); client != clients_.end(); ++watch) {
        const bool keep = Serve(*client, *watch);
        client = keep ? std::next(client) : Drop(client);
      }
      if (watches[0].readable) AcceptAll();  // after: a newcomer has no watch yet
    }
    return true;
  }

 private:
  void AcceptAll() {
    std::string peer;
    for (net::Socket socket; (socket = net::Accept(listener_, peer)) != net::kNoSocket;) {
      if (clients_.size() >= kMaxClients) {
        net::Close(socket);
        // Once until a newcomer is taken again, so a client that keeps trying floods nothing.
        if (!refusing_) {
          Say("refused " + peer + ": " + std::to_string(kMaxClients) +
              " clients are connected (told once until one is taken again)");
        }
        refusing_ = true;
        continue;
      }
      refusing_ = false;
      clients_.push_back(Client{socket, peer, {}, {}, {}});
      Say("client " + peer + " connected");
    }
  }

  // False when the client is to go: it closed, failed, or does not read its answers.
  bool Serve(Client& client, const net::Watch& watch) {
    if (watch.readable) {
      char data[kReadChunk];
      const long got = net::Receive(client.socket, data, sizeof data);
      if (got == 0 || got == net::kFailed) return Gone(client, "disconnected");
      if (got > 0) {
        client.input.Feed(
            std::string_view(data, static_cast<std::size_t>(got)),
            [&](std::string_view line) {
              client.unsent += instrument_.Execute(client.state, line);
            },
            [&] { scpi::QueueError(client.state, scpi::kInputBufferOverrun); });
      }
    }
    while (!client.unsent.empty()) {
      const long sent = net::Send(client.socket, client.unsent.data(), client.unsent.size());
      if (sent == net::kFailed) return Gone(client, "disconnected");
      if (sent <= 0) break;
      client.unsent.erase(0, static_cast<std::size_t>(sent));
    }
    if (client.unsent.size() > kMaxUnsent)
      return Gone(client, "dropped: it does not read its answers");
    return true;
  }

  static bool Gone(const Client& client, const std::string& why) {
    Say("client " + client.peer + " " + why);
    return false;
  }

  std::list<Client>::iterator Drop(std::list<Client>::iterator client) {
    net::Close(client->socket);
    return clients_.erase(client);
  }

  net::Socket listener_;
  scpi::Instrument& instrument_;
  std::list<Client> clients_;
  bool refusing_ = false;
};

bool Loopback(const std::string& bound) {
  return bound.rfind("127.", 0) == 0 || bound.rfind("[::1]:", 0) == 0;
}

}  // namespace

int Serve(const std::string& listen) {
  std::string host;
  std::string port;
  if (!SplitListen(listen, host, port)) {
    std::fprintf(stderr,
                 "tarnwick: --listen \"%s\" is not HOST:PORT (as 127.0.0.1:5025 or [::1]:5025)\n",
                 listen.c_str());
    return kExitUsage;
  }
  // It writes its own set-point every second, as the window does: one such program at a time.
  const SetpointMark mark(Holder::kServer);
  if (!mark.Taken()) {
    // Like any other refusal of the tool's to take the controller: 2, nothing sent.
    std::fprintf(stderr, "tarnwick: %s\n", RefusalText(mark.Refusal()).c_str());
    return kExitTaken;
  }
  std::string reason;
  if (!net::Start(reason)) {
    std::fprintf(stderr, "tarnwick: cannot serve: %s\n", reason.c_str());
    return kExitTaken;
  }
  std::string bound;
  bool inUse = false;
  const net::Socket listener = net::Listen(host, port, bound, reason, inUse);
  if (listener == net::kNoSocket) {
    std::fprintf(stderr, "tarnwick: cannot listen on %s: %s%s\n", listen.c_str(), reason.c_str(),
                 inUse ? " (another program serves there)" : "");
    return kExitTaken;
  }
  Say("serving SCPI on " + bound + " (VISA resource TCPIP0::" + bound.substr(0, bound.rfind(':')) +
      "::" + bound.substr(bound.rfind(':') + 1) + "::SOCKET); Ctrl+C stops");
  if (!Loopback(bound)) {
    Say("warning: not loopback: anyone who can reach this port can set the current");
  }
  LinkDevice device;
  scpi::Instrument instrument(device, TARNWICK_VERSION);
  // As the window starts: the board at 0 until a client sets it.
  if (const scpi::DeviceResult start = device.Write(0); start.error != 0) {
    Say("0 was not written: " + start.detail + "; the poll writes it once the controller answers");
  }
  Server server(listener, instrument);
  if (!server.Run()) {
    std::fprintf(stderr, "tarnwick: the wait for clients failed\n");
    return kExitTaken;
  }
  Say("stopped; the output is left as it stands");
  return kExitStopped;
}

}  // namespace tarnwick::app
