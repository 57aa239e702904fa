// Block transfers, and the reads and writes of whole points made of them.
#include <string>
#include <vector>

#include "host/log_lines.h"
#include "tools/cli/frame_notes.h"
#include "tools/cli/host_array.h"
#include "tools/cli/port_line.h"
#include "tools/cli/reply_trace.h"
#include "tools/cli/runner.h"

namespace tiway {

namespace {

std::string ContextText(const char* text, size_t size) {
  return std::string(text, strnlen(text, size));
}

}  // namespace

bool Runner::Block(int32_t command, const ZorPointAddress& address, int32_t driverCount,
                   std::vector<uint16_t>& data, OpResult& op) {
  ZorBlockRequest request{};
  request.address = address;
  request.elementCount = driverCount;
  request.data = data.data();
  const size_t logBefore = op.log.size();
  const auto start = Clock::now();
  const int32_t status = Call(command, &request, op);
  const double ms = MsSince(start);
  op.elapsedMs += ms;
  op.retries += zortw_host::CountReplyRefusals(std::vector<std::string>(
      op.log.begin() + static_cast<std::ptrdiff_t>(logBefore), op.log.end()));
  FrameRecord frame;
  frame.step = command == ZOR_READ_BLOCK ? "ReadBlock" : "WriteBlock";
  frame.request = ContextText(context_->requestFrame, sizeof context_->requestFrame);
  frame.reply = ContextText(context_->replyBuffer, sizeof context_->replyBuffer);
  frame.requestNote = frame.request.empty() ? "(no request)" : AnnotateRequest(frame.request);
  // Every attempt of a silent line lasts its whole reply time-out.
  const bool silent = ms >= 0.9 * 3 * TimeoutMs();
  const ReplyTrace trace = TraceReply(frame.request, frame.reply, o_.instance, silent);
  frame.replyNote = trace.note;
  frame.replyStatus = trace.status;
  frame.logLine = trace.logLine;
  // Frames whose line time is a large part of the reply time-out: the user
  // is told, with --timeout. A reception that then ended early without a
  // reply is not put down to stray bytes: the time-out may have ended it
  // while the frames were still on the line. Frames that fit the time-out
  // at --baud but came too late for it fit a slower line than --baud says:
  // the "stray bytes" that ended the reception are then the tail of an
  // earlier attempt's reply.
  std::string lineTime =
      status == ZOR_OK ? std::string() : LineTimeAdvice(frame.request, line_, TimeoutMs());
  if (!lineTime.empty() && frame.reply.empty() && !silent) {
    frame.replyNote =
        "no reply kept: reception ended before any ':', with frames long for the time-out";
  } else if (status != ZOR_OK && lineTime.empty() && !trace.received && !silent) {
    lineTime = SlowLineAdvice(frame.request, line_, TimeoutMs(), ms);
    if (!lineTime.empty() && frame.reply.empty()) {
      frame.replyNote =
          "no reply kept: reception ended before any ':' after a reply time-out had run out "
          "(the tail of a late reply, not a reply)";
    }
  }
  op.frames.push_back(frame);
  if (status == ZOR_OK) {
    SetStatus(op, ZOR_OK, "success");
    return true;
  }
  // The last attempt's refusal was logged too, but it was not retried.
  if (op.retries > 0 && !trace.logLine.empty()) --op.retries;
  op.ok = false;
  op.step = frame.step;
  if (status == ZOR_LINE_FAILURE && frame.reply.empty() && silent) {
    SetStatus(op, status, kNoReplyAdvice);
  } else if (status == ZOR_LINE_FAILURE) {
    SetStatus(op, status, "line failure: " + frame.replyNote);
  } else if (status == ZOR_REPLY_INVALID) {
    SetStatus(op, status, "invalid reply: " + frame.replyNote);
  } else {
    SetStatus(op, status, StatusMeaning(status, Step::Block));
  }
  op.exitCode = kExitTransfer;
  const std::string what = command == ZOR_READ_BLOCK ? "read" : "write";
  op.message = what + " of " + op.point + " failed: status " + std::to_string(status) + ": " +
               op.meaning + (lineTime.empty() ? "" : "; " + lineTime);
  return false;
}

OpResult Runner::ReadPoint(const PointPlan& plan, const std::string& operation) {
  OpResult op;
  op.operation = operation;
  op.point = plan.spec.text;
  op.count = plan.spec.count;
  op.kind = plan.kind;
  for (size_t i = 0; i < plan.chunks.size(); ++i) {
    const Chunk& chunk = plan.chunks[i];
    if (i > 0 && Interrupted()) {
      op.ok = false;
      op.interrupted = true;
      op.exitCode = kExitInterrupted;
      op.status.reset();
      op.meaning = kNoDriverStatus;
      op.step.clear();
      op.message = "interrupted after reading " + std::to_string(chunk.offset) + " of " +
                   std::to_string(plan.spec.count) + " elements; " + chunk.text +
                   " and later were not read";
      return op;
    }
    const int32_t driverCount = DriverElementCount(plan.kind, chunk.count);
    std::vector<uint16_t> data(ArrayWords(driverCount), 0);
    if (!Block(ZOR_READ_BLOCK, plan.addresses[i], driverCount, data, op)) return op;
    std::vector<uint32_t> values = ValuesFromReadArray(plan.addresses[i], driverCount, data);
    for (size_t k = 0; k < values.size(); ++k) {
      op.values.push_back({ElementText(plan.addresses[i], static_cast<int>(k)), values[k]});
    }
  }
  op.message = plan.warning;
  return op;
}

int Runner::Write(PointPlan& plan, const std::vector<uint32_t>& values, const std::string& notes) {
  // The values before the write, for the record ("was ..."); a failure here
  // does not stop the write.
  OpResult before = ReadPoint(plan, "read");
  OpResult op;
  op.operation = "write";
  op.point = plan.spec.text;
  op.count = plan.spec.count;
  op.kind = plan.kind;
  op.log = before.log;
  op.frames = before.frames;
  op.retries = before.retries;
  op.elapsedMs = before.elapsedMs;
  op.status = before.status;
  op.meaning = before.meaning;
  if (before.ok) op.previous = before.values;
  if (!before.ok && !before.interrupted && !Interrupted()) {
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    if (!o_.json)
      err_ << "tiway: warning: the values before the write are unknown: " << before.message << "\n";
  }
  for (size_t i = 0; i < plan.chunks.size(); ++i) {
    const Chunk& chunk = plan.chunks[i];
    if (Interrupted()) {
      op.ok = false;
      op.interrupted = true;
      op.exitCode = kExitInterrupted;
      op.status.reset();
      op.meaning = kNoDriverStatus;
      op.message = i == 0 ? "interrupted before the write: nothing written"
                          : "interrupted after writing " + std::to_string(chunk.offset) + " of " +
                                std::to_string(plan.spec.count) + " elements; from " + chunk.text +
                                " on nothing was written";
      return Finish(op);
    }
    const std::vector<uint32_t> part(values.begin() + chunk.offset,
                                     values.begin() + chunk.offset + chunk.count);
    std::vector<uint16_t> data = WriteArrayFromValues(plan.addresses[i], part);
    if (!Block(ZOR_WRITE_BLOCK, plan.addresses[i], DriverElementCount(plan.kind, chunk.count), data,
               op)) {
      if (i > 0) {
        op.message += " (the first " + std::to_string(chunk.offset) + " elements were written)";
      }
      return Finish(op);
    }
    for (size_t k = 0; k < part.size(); ++k) {
      op.values.push_back({ElementText(plan.addresses[i], static_cast<int>(k)), part[k]});
    }
  }
  op.message = "wrote " + std::to_string(op.values.size()) +
               (op.values.size() == 1 ? " element" : " elements") + " from " + plan.spec.text +
               notes;
  if (!plan.warning.empty()) op.message += " (" + plan.warning + ")";
  return Finish(op);
}

}  // namespace tiway
