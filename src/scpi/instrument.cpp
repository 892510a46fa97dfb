#include "scpi/instrument.hpp"

#include <array>
#include <charconv>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include "control/setpoint_write.hpp"

namespace tarnwick::scpi {

namespace {

enum class Op {
  kCurrent,
  kCurrentQuery,
  kCounts,
  kCountsQuery,
  kErrorNext,
  kErrorCount,
  kVersion,
  kIdentify,
  kReset,
  kClear,
  kOperationComplete,
  kOperationCompleteQuery,
  kWait,
  kEventStatusQuery,
  kEventEnable,
  kEventEnableQuery,
  kStatusByteQuery,
  kServiceEnable,
  kServiceEnableQuery,
  kSelfTestQuery,
};

// A header in SCPI's notation: the short form in upper case, optional nodes in brackets.
struct Row {
  std::string_view pattern;
  bool query;
  Op op;
};

constexpr std::array kRows{
    Row{"[SOURce]:CURRent[:LEVel][:IMMediate][:AMPLitude]", false, Op::kCurrent},
    Row{"[SOURce]:CURRent[:LEVel][:IMMediate][:AMPLitude]", true, Op::kCurrentQuery},
    // The converter's own counts: no SCPI node names them, so the header is ours.
    Row{"[SOURce]:CURRent:COUNts", false, Op::kCounts},
    Row{"[SOURce]:CURRent:COUNts", true, Op::kCountsQuery},
    Row{"SYSTem:ERRor[:NEXT]", true, Op::kErrorNext},
    Row{"SYSTem:ERRor:COUNt", true, Op::kErrorCount},
    Row{"SYSTem:VERSion", true, Op::kVersion},
    Row{"*IDN", true, Op::kIdentify},
    Row{"*RST", false, Op::kReset},
    Row{"*CLS", false, Op::kClear},
    Row{"*OPC", false, Op::kOperationComplete},
    Row{"*OPC", true, Op::kOperationCompleteQuery},
    Row{"*WAI", false, Op::kWait},
    Row{"*ESR", true, Op::kEventStatusQuery},
    Row{"*ESE", false, Op::kEventEnable},
    Row{"*ESE", true, Op::kEventEnableQuery},
    Row{"*STB", true, Op::kStatusByteQuery},
    Row{"*SRE", false, Op::kServiceEnable},
    Row{"*SRE", true, Op::kServiceEnableQuery},
    Row{"*TST", true, Op::kSelfTestQuery},
};

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}
bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Cuts at each separator outside a quoted string; false when a quote is left open.
bool Split(std::string_view text, char separator, std::vector<std::string_view>& parts) {
  char quote = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      if (c == quote) quote = 0;  // a doubled quote closes and reopens: the same thing
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == separator) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(text.substr(start));
  return quote == 0;
}

// A node of a pattern matches its short form or its long form, in any case.
bool NodeMatches(std::string_view pattern, std::string_view node) {
  std::size_t shortLength = 0;
  while (shortLength < pattern.size() &&
         !(pattern[shortLength] >= 'a' && pattern[shortLength] <= 'z')) {
    ++shortLength;
  }
  return SameWord(node, pattern) || SameWord(node, pattern.substr(0, shortLength));
}

struct PatternNode {
  std::string_view name;
  bool optional;
};

std::vector<PatternNode> PatternNodes(std::string_view pattern) {
  std::vector<PatternNode> nodes;
  while (!pattern.empty()) {
    const bool optional = pattern.front() == '[';
    if (optional) pattern.remove_prefix(1);
    if (!pattern.empty() && pattern.front() == ':') pattern.remove_prefix(1);
    const std::size_t end = pattern.find_first_of(":[]");
    nodes.push_back({pattern.substr(0, end), optional});
    pattern.remove_prefix(end == std::string_view::npos ? pattern.size() : end);
    if (!pattern.empty() && pattern.front() == ']') pattern.remove_prefix(1);
  }
  return nodes;
}

bool Matches(std::span<const PatternNode> pattern, std::span<const std::string_view> nodes) {
  if (pattern.empty()) return nodes.empty();
  if (pattern.front().optional && Matches(pattern.subspan(1), nodes)) return true;
  return !nodes.empty() && NodeMatches(pattern.front().name, nodes.front()) &&
         Matches(pattern.subspan(1), nodes.subspan(1));
}

// One parameter, as SCPI's program data kinds tell them apart.
struct Parameter {
  enum class Kind { kNumber, kWord, kOther } kind = Kind::kOther;
  double number = 0.0;
  std::string_view suffix;  // after a number
  std::string_view word;    // character data
  int error = 0;            // why it is not one of them
};

Parameter ParseParameter(std::string_view text) {
  Parameter parameter;
  if (text.empty()) {
    parameter.error = kSyntaxError;
    return parameter;
  }
  const char first = text.front();
  if (IsAlpha(first)) {
    for (const char c : text) {
      if (!IsAlpha(c) && !IsDigit(c) && c != '_') {
        parameter.error = kSyntaxError;
        return parameter;
      }
    }
    parameter.kind = Parameter::Kind::kWord;
    parameter.word = text;
    return parameter;
  }
  if (first == '"' || first == '\'' || first == '#') {
    parameter.error = kDataTypeError;  // strings and blocks: nothing here takes one
    return parameter;
  }
  if (!IsDigit(first) && first != '+' && first != '-' && first != '.') {
    parameter.error = kSyntaxError;
    return parameter;
  }
  // The mantissa, then an exponent where an E is followed by a sign or a digit.
  std::size_t i = (first == '+' || first == '-') ? 1 : 0;
  std::size_t digits = 0;
  while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) {
    parameter.error = kInvalidCharacterInNumber;
    return parameter;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E') && i + 1 < text.size() &&
      (IsDigit(text[i + 1]) || text[i + 1] == '+' || text[i + 1] == '-')) {
    std::size_t j = i + 1;
    if (text[j] == '+' || text[j] == '-') ++j;
    if (j >= text.size() || !IsDigit(text[j])) {
      parameter.error = kInvalidCharacterInNumber;
      return parameter;
    }
    while (j < text.size() && IsDigit(text[j])) ++j;
    i = j;
  }
  // from_chars reads a '-' itself and takes no '+'.
  const std::string_view parsed = text.substr(first == '+' ? 1 : 0, first == '+' ? i - 1 : i);
  const auto [end, error] =
      std::from_chars(parsed.data(), parsed.data() + parsed.size(), parameter.number);
  if (error != std::errc{} || end != parsed.data() + parsed.size()) {
    parameter.error =
        error == std::errc::result_out_of_range ? kDataOutOfRange : kInvalidCharacterInNumber;
    return parameter;
  }
  // A suffix may stand after blanks; anything else in the number is no number.
  std::string_view rest = Trim(text.substr(i));
  if (!rest.empty() && !IsAlpha(rest.front())) {
    parameter.error = kInvalidCharacterInNumber;
    return parameter;
  }
  for (const char c : rest) {
    if (!IsAlpha(c)) {
      parameter.error = kInvalidSuffix;
      return parameter;
    }
  }
  parameter.kind = Parameter::Kind::kNumber;
  parameter.suffix = rest;
  return parameter;
}

// MINimum, MAXimum, DEFault: the words a numeric parameter may be instead.
enum class Bound { kNone, kMin, kMax, kDefault };
Bound BoundWord(std::string_view word) {
  if (NodeMatches("MINimum", word)) return Bound::kMin;
  if (NodeMatches("MAXimum", word)) return Bound::kMax;
  if (NodeMatches("DEFault", word)) return Bound::kDefault;
  return Bound::kNone;
}

// NR3, as instruments answer a level: "5.002443E-02".
std::string Nr3(double value) {
  std::array<char, 32> text{};
  const auto result = std::to_chars(text.data(), text.data() + text.size(), value,
                                    std::chars_format::scientific, 6);
  std::string out(text.data(), result.ptr);
  for (char& c : out) c = Upper(c);
  return out;
}

double Amps(int counts) {
  return counts * control::kFullScaleMilliamps / control::kFullScale / 1000.0;
}

// What a parameter sets the converter to, in counts, or the error it is.
struct Setting {
  int counts = 0;
  int error = 0;
};

Setting CurrentSetting(const Parameter& parameter, bool counts) {
  if (parameter.error != 0) return {0, parameter.error};
  if (parameter.kind == Parameter::Kind::kWord) {
    switch (BoundWord(parameter.word)) {
      case Bound::kMax:
        return {control::kFullScale, 0};
      case Bound::kMin:
      case Bound::kDefault:
        return {0, 0};
      case Bound::kNone:
        break;
    }
    return {0, kIllegalParameterValue};
  }
  if (parameter.kind != Parameter::Kind::kNumber) return {0, kDataTypeError};
  double exact = parameter.number;  // counts
  if (counts) {
    if (!parameter.suffix.empty()) return {0, kInvalidSuffix};
    if (!(exact >= 0.0 && exact <= control::kFullScale)) return {0, kDataOutOfRange};
  } else {
    double milliamps = parameter.number * 1000.0;
    if (SameWord(parameter.suffix, "MA")) {
      milliamps = parameter.number;
    } else if (SameWord(parameter.suffix, "UA")) {
      milliamps = parameter.number / 1000.0;
    } else if (!parameter.suffix.empty() && !SameWord(parameter.suffix, "A")) {
      return {0, kInvalidSuffix};
    }
    if (!(milliamps >= 0.0 && milliamps <= control::kFullScaleMilliamps))
      return {0, kDataOutOfRange};
    exact =
        milliamps * control::kFullScale / control::kFullScaleMilliamps;  // as the console tool does
  }
  return {control::SetpointBytes(exact).Counts(), 0};
}

// An integer register value, 0 to 255.
Setting RegisterSetting(const Parameter& parameter) {
  if (parameter.error != 0) return {0, parameter.error};
  if (parameter.kind != Parameter::Kind::kNumber) return {0, kDataTypeError};
  if (!parameter.suffix.empty()) return {0, kInvalidSuffix};
  if (!(parameter.number >= -0.5 && parameter.number < 255.5)) return {0, kDataOutOfRange};
  return {control::SetpointBytes(parameter.number).Counts(), 0};  // rounded as a set-point
}

}  // namespace

std::string_view ErrorText(int code) {
  switch (code) {
    case 0:
      return "No error";
    case kSyntaxError:
      return "Syntax error";
    case kDataTypeError:
      return "Data type error";
    case kParameterNotAllowed:
      return "Parameter not allowed";
    case kMissingParameter:
      return "Missing parameter";
    case kUndefinedHeader:
      return "Undefined header";
    case kInvalidCharacterInNumber:
      return "Invalid character in number";
    case kInvalidSuffix:
      return "Invalid suffix";
    case kDataOutOfRange:
      return "Data out of range";
    case kIllegalParameterValue:
      return "Illegal parameter value";
    case kHardwareError:
      return "Hardware error";
    case kHardwareMissing:
      return "Hardware missing";
    case kQueueOverflow:
      return "Queue overflow";
    case kInputBufferOverrun:
      return "Input buffer overrun";
    default:
      return "";
  }
}

void ErrorQueue::Push(int code, std::string_view detail) {
  std::string entry = std::to_string(code) + ",\"" + std::string(ErrorText(code));
  if (!detail.empty()) entry += ';';
  for (const char c : detail) {
    entry += c;
    if (c == '"') entry += c;  // a quote inside SCPI's string is doubled
  }
  entry += '"';
  if (entries_.size() < kCapacity) {
    entries_.push_back(std::move(entry));
  } else {
    entries_.back() =
        std::to_string(kQueueOverflow) + ",\"" + std::string(ErrorText(kQueueOverflow)) + '"';
  }
}

std::string ErrorQueue::Pop() {
  if (entries_.empty()) return "0,\"No error\"";
  std::string entry = std::move(entries_.front());
  entries_.pop_front();
  return entry;
}

void QueueError(ClientState& client, int code, std::string_view detail) {
  client.errors.Push(code, detail);
  if (code <= -100 && code > -200) {
    client.esr |= kEsrCommandError;
  } else if (code <= -200 && code > -300) {
    client.esr |= kEsrExecutionError;
  } else if (code <= -400 && code > -500) {
    client.esr |= kEsrQueryError;
  } else {
    client.esr |= kEsrDeviceError;
  }
}

struct Instrument::Call {
  Op op;
  std::vector<std::string_view> parameters;
};

Instrument::Instrument(Device& device, std::string version)
    : device_(device), version_(std::move(version)) {}

void Instrument::Write(ClientState& client, int counts) {
  held_ = counts;  // held even when it did not go out: the next poll writes it
  const DeviceResult result = device_.Write(counts);
  if (result.error != 0) QueueError(client, result.error, result.detail);
}

std::string Instrument::Execute(ClientState& client, std::string_view message) {
  std::vector<std::string_view> units;
  std::vector<std::string> responses;
  std::vector<std::string_view> path;  // the previous header's nodes but its last
  const auto respond = [&responses] {
    std::string line;
    for (const std::string& response : responses) line += (line.empty() ? "" : ";") + response;
    return responses.empty() ? line : line + "\n";
  };
  if (!Split(message, ';', units)) {
    QueueError(client, kSyntaxError, "unterminated string");
    return {};
  }
  for (const std::string_view unitText : units) {
    const std::string_view text = Trim(unitText);
    if (text.empty()) continue;  // "CURR 0;" and ";;" carry nothing
    std::size_t headerEnd = 0;
    while (headerEnd < text.size() && !IsBlank(text[headerEnd])) ++headerEnd;
    std::string_view header = text.substr(0, headerEnd);
    const std::string_view rest = Trim(text.substr(headerEnd));
    const bool query = header.back() == '?';
    if (query) header.remove_suffix(1);
    if (header.empty()) {
      QueueError(client, kSyntaxError);
      return respond();
    }

    // The nodes as written, resolved against the path unless a ':' leads.
    std::vector<std::string_view> nodes;
    const bool common = !header.empty() && header.front() == '*';
    bool wellFormed = header.size() > 1 || !common;
    if (common) {
      nodes.push_back(header);
      for (const char c : header.substr(1)) wellFormed = wellFormed && IsAlpha(c);
    } else {
      const bool rooted = header.front() == ':';
      if (rooted) header.remove_prefix(1);
      if (!rooted) nodes = path;
      std::vector<std::string_view> written;
      Split(header, ':', written);
      for (const std::string_view node : written) {
        bool ok = !node.empty() && IsAlpha(node.front());
        for (const char c : node) ok = ok && (IsAlpha(c) || IsDigit(c) || c == '_');
        wellFormed = wellFormed && ok;
        nodes.push_back(node);
      }
    }
    if (!wellFormed) {
      QueueError(client, kSyntaxError);
      return respond();
    }
    const Row* found = nullptr;
    for (const Row& row : kRows) {
      if (row.query != query) continue;
      const std::vector<PatternNode> pattern = PatternNodes(row.pattern);
      if (Matches(pattern, nodes)) {
        found = &row;
        break;
      }
    }
    if (found == nullptr) {
      QueueError(client, kUndefinedHeader);
      return respond();
    }
    if (!common) path.assign(nodes.begin(), nodes.end() - 1);

    Call call{found->op, {}};
    if (!rest.empty() && !Split(rest, ',', call.parameters)) {
      QueueError(client, kSyntaxError, "unterminated string");
      return respond();
    }
    for (std::string_view& parameter : call.parameters) parameter = Trim(parameter);
    const std::optional<std::string> response = Run(client, call);
    if (!response) return respond();  // a command error ends the message, as IEEE 488.2 has it
    if (!response->empty()) responses.push_back(*response);
  }
  return respond();
}

// The response of a query, "" for a command that answers nothing, nothing when a command
// error ends the message (it is queued).
std::optional<std::string> Instrument::Run(ClientState& client, const Call& command) {
  const std::size_t count = command.parameters.size();
  const auto commandError = [&client](int code) -> std::optional<std::string> {
    QueueError(client, code);
    return std::nullopt;
  };
  // How many parameters each takes: 0, 1, or (the level queries) at most 1.
  std::size_t most = 0;
  std::size_t least = 0;
  switch (command.op) {
    case Op::kCurrent:
    case Op::kCounts:
    case Op::kEventEnable:
    case Op::kServiceEnable:
      least = most = 1;
      break;
    case Op::kCurrentQuery:
    case Op::kCountsQuery:
      most = 1;
      break;
    default:
      break;
  }
  if (count < least) return commandError(kMissingParameter);
  if (count > most) return commandError(kParameterNotAllowed);
  const Parameter parameter = count > 0 ? ParseParameter(command.parameters[0]) : Parameter{};
  // A command error in a parameter (-1xx) ends the message; an execution error does not.
  const auto refuse = [&](int code) -> std::optional<std::string> {
    if (code > -200) return commandError(code);
    QueueError(client, code);
    return std::string();
  };

  switch (command.op) {
    case Op::kCurrent:
    case Op::kCounts: {
      const Setting setting = CurrentSetting(parameter, command.op == Op::kCounts);
      if (setting.error != 0) return refuse(setting.error);
      Write(client, setting.counts);
      return std::string();
    }
    case Op::kCurrentQuery:
    case Op::kCountsQuery: {
      int counts = held_;
      if (count > 0) {
        if (parameter.error != 0) return refuse(parameter.error);
        if (parameter.kind != Parameter::Kind::kWord) return refuse(kDataTypeError);
        const Bound bound = BoundWord(parameter.word);
        if (bound == Bound::kNone) return refuse(kIllegalParameterValue);
        counts = bound == Bound::kMax ? control::kFullScale : 0;
      }
      return command.op == Op::kCountsQuery ? std::to_string(counts) : Nr3(Amps(counts));
    }
    case Op::kErrorNext:
      return client.errors.Pop();
    case Op::kErrorCount:
      return std::to_string(client.errors.Count());
    case Op::kVersion:
      return "1999.0";
    case Op::kIdentify:
      return "Tarnwick,Tarnwick Test," + std::to_string(device_.Serial().value_or(0)) + "," +
             version_;
    case Op::kReset:
      Write(client, 0);
      return std::string();
    case Op::kClear:
      client.errors.Clear();
      client.esr = 0;
      return std::string();
    case Op::kOperationComplete:
      client.esr |= kEsrOperationComplete;  // every command has finished when the next runs
      return std::string();
    case Op::kOperationCompleteQuery:
      return "1";
    case Op::kWait:
      return std::string();
    case Op::kEventStatusQuery: {
      const int esr = client.esr;
      client.esr = 0;  // read and cleared, as IEEE 488.2 has it
      return std::to_string(esr);
    }
    case Op::kEventEnable:
    case Op::kServiceEnable: {
      const Setting setting = RegisterSetting(parameter);
      if (setting.error != 0) return refuse(setting.error);
      if (command.op == Op::kEventEnable) {
        client.ese = static_cast<std::uint8_t>(setting.counts);
      } else {
        client.sre = static_cast<std::uint8_t>(setting.counts & ~0x40);  // bit 6 cannot be enabled
      }
      return std::string();
    }
    case Op::kEventEnableQuery:
      return std::to_string(client.ese);
    case Op::kServiceEnableQuery:
      return std::to_string(client.sre);
    case Op::kStatusByteQuery: {
      int stb = 0;
      if (client.errors.Count() > 0) stb |= 0x04;  // error or event queue not empty
      if ((client.esr & client.ese) != 0) stb |= 0x20;
      if ((stb & client.sre) != 0) stb |= 0x40;
      return std::to_string(stb);
    }
    case Op::kSelfTestQuery:
      return device_.Serial() ? "0" : "1";
  }
  return std::string();
}

void MessageBuffer::Feed(std::string_view bytes,
                         const std::function<void(std::string_view line)>& line,
                         const std::function<void()>& overrun) {
  while (!bytes.empty()) {
    const std::size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    bytes.remove_prefix(newline == std::string_view::npos ? bytes.size() : newline + 1);
    if (!discarding_) {
      // One byte more than the bound may be the '\r' of a "\r\n".
      if (pending_.size() + piece.size() > kMaxMessage + 1) {
        pending_.clear();
        discarding_ = true;
        overrun();
      } else {
        pending_.append(piece);
      }
    }
    if (newline == std::string_view::npos) return;
    if (!discarding_) {
      std::string_view message = pending_;
      if (!message.empty() && message.back() == '\r') message.remove_suffix(1);
      if (message.size() > kMaxMessage) {
        overrun();
      } else {
        line(message);
      }
    }
    pending_.clear();
    discarding_ = false;
  }
}

}  // namespace tarnwick::scpi
