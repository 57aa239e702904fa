#include "tools/cli/result.h"

#include <algorithm>
#include <ostream>

namespace tiway {

namespace {

nlohmann::ordered_json ElementJson(const Element& element, PointKind kind, ValueFormat format) {
  nlohmann::ordered_json item{
      {"point", element.point}, {"value", element.value}, {"hex", HexValue(kind, element.value)}};
  if (kind == PointKind::FValue) item["float"] = FloatOf(element.value);
  if (kind == PointKind::VWord && format == ValueFormat::Bin) {
    item["bits"] = FormatValueAs(kind, element.value, ValueFormat::Bin);
  }
  if (kind == PointKind::VWord) item["signed"] = static_cast<int16_t>(element.value);
  return item;
}

void TraceText(const OpResult& r, std::ostream& out) {
  for (const FrameRecord& f : r.frames) {
    out << "  -> " << (f.request.empty() ? "(none)" : f.request) << "\n     " << f.requestNote
        << "\n  <- " << (f.reply.empty() ? "(none)" : f.reply) << "\n     " << f.replyNote << "\n";
    if (!f.logLine.empty()) out << "     driver logs: " << f.logLine << "\n";
  }
}

}  // namespace

OpResult Failure(const std::string& operation, int exitCode, std::string message) {
  OpResult op;
  op.operation = operation;
  op.ok = false;
  op.exitCode = exitCode;
  op.message = std::move(message);
  return op;
}

void SetStatus(OpResult& result, int32_t status, std::string meaning) {
  result.status = status;
  result.meaning = std::move(meaning);
}

nlohmann::ordered_json ToJson(const OpResult& r, const RenderOptions& options) {
  nlohmann::ordered_json j{
      {"operation", r.operation}, {"point", r.point}, {"count", r.count}, {"ok", r.ok}};
  j["status"] = r.status ? nlohmann::ordered_json(*r.status) : nlohmann::ordered_json(nullptr);
  j["meaning"] = r.meaning;
  j["exitCode"] = r.exitCode;
  j["step"] = r.step;
  j["message"] = r.message;
  nlohmann::ordered_json values = nlohmann::ordered_json::array();
  for (size_t k = 0; k < r.values.size(); ++k) {
    if (!r.changed.empty() && !r.changed[k]) continue;
    values.push_back(ElementJson(r.values[k], r.kind, options.format));
  }
  j["values"] = values;
  nlohmann::ordered_json previous = nlohmann::ordered_json::array();
  for (const Element& e : r.previous) previous.push_back(ElementJson(e, r.kind, options.format));
  j["previous"] = previous;
  j["log"] = r.log;
  nlohmann::ordered_json frames = nlohmann::ordered_json::array();
  if (options.trace) {
    for (const FrameRecord& f : r.frames) {
      frames.push_back({{"step", f.step},
                        {"request", f.request},
                        {"requestNote", f.requestNote},
                        {"reply", f.reply},
                        {"replyNote", f.replyNote},
                        {"replyStatus", f.replyStatus},
                        {"logLine", f.logLine}});
    }
  }
  j["frames"] = frames;
  j["elapsedMs"] = static_cast<int64_t>(r.elapsedMs + 0.5);
  j["retries"] = r.retries;
  const bool poll = r.operation == "poll";
  j["poll"] = poll ? nlohmann::ordered_json(r.poll) : nlohmann::ordered_json(nullptr);
  j["time"] = poll ? nlohmann::ordered_json(r.time) : nlohmann::ordered_json(nullptr);
  j["interrupted"] = r.interrupted;
  return j;
}

void RenderText(const OpResult& r, const RenderOptions& options, std::ostream& out,
                std::ostream& err) {
  if (options.trace) TraceText(r, out);
  if (r.ok && r.operation == "write") out << r.message << "\n";
  for (size_t k = 0; k < r.values.size(); ++k) {
    if (!r.changed.empty() && !r.changed[k]) continue;
    if (!r.time.empty()) out << r.time << "  ";
    std::string text = r.values[k].point;
    text.resize(std::max<size_t>(text.size(), 9), ' ');
    out << text << " " << FormatValueAs(r.kind, r.values[k].value, options.format);
    if (k < r.previous.size()) {
      out << "  (was " << FormatValueAs(r.kind, r.previous[k].value, options.format) << ")";
    }
    out << "\n";
  }
  out << std::flush;
  if (!r.ok) {
    // A message of several lines (every mistake of a scan list) gives each
    // its own "tiway: ".
    std::string message = r.message;
    for (size_t at = message.find('\n'); at != std::string::npos; at = message.find('\n', at + 1)) {
      message.insert(at + 1, "tiway: ");
    }
    err << "tiway: " << (r.time.empty() ? "" : r.time + " ") << message << "\n" << std::flush;
  }
}

}  // namespace tiway
