// watch: polls, the values that change, the CSV of the samples and the
// statistics at the end.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>

#include "tools/cli/runner.h"
#include "tools/cli/values.h"

namespace tiway {

namespace {

// Watch statistics of one point.
struct PointStats {
  int64_t polls = 0;
  std::map<int32_t, int64_t> failures;  // by status
  int64_t retries = 0;
  std::vector<double> ms;
};

std::string CsvValue(PointKind kind, uint32_t value) {
  if (kind == PointKind::FValue) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", FloatOf(value));
    return text;
  }
  return std::to_string(value);
}

}  // namespace

int Runner::Watch(std::vector<PointPlan>& plans) {
  std::ofstream csv;
  if (!o_.csvFile.empty()) {
    std::ifstream existing(o_.csvFile);
    const bool fresh = !existing.good() || existing.peek() == std::ifstream::traits_type::eof();
    csv.open(o_.csvFile, std::ios::app);
    if (!csv) {
      OpResult f = Failure("watch", kExitUsage, "cannot write the CSV file " + o_.csvFile);
      return Finish(f);
    }
    if (fresh) csv << "time,point,value,status\n";
  }
  std::vector<PointStats> stats(plans.size());
  std::vector<std::vector<uint32_t>> last(plans.size());
  std::vector<int32_t> lastStatus(plans.size(), -1000);
  int exitCode = kExitOk;
  bool interrupted = false;
  for (int64_t poll = 1; o_.polls == 0 || poll <= o_.polls; ++poll) {
    for (size_t p = 0; p < plans.size(); ++p) {
      if (Interrupted()) {
        interrupted = true;
        break;
      }
      OpResult op = ReadPoint(plans[p], "poll");
      op.poll = poll;
      op.time = host_.now();
      if (op.interrupted) {
        interrupted = true;
        break;
      }
      PointStats& s = stats[p];
      ++s.polls;
      s.retries += op.retries;
      s.ms.push_back(op.elapsedMs);
      if (!op.ok) {
        const int32_t status = op.status.value_or(-1);
        ++s.failures[status];
        exitCode = kExitTransfer;
        if (csv) csv << op.time << "," << op.point << ",," << status << "\n";
      } else if (csv) {
        for (const Element& e : op.values) {
          csv << op.time << "," << e.point << "," << CsvValue(op.kind, e.value) << ",0\n";
        }
      }
      bool show = o_.trace;
      if (op.ok) {
        op.changed.assign(op.values.size(), true);
        for (size_t k = 0; k < op.values.size() && k < last[p].size() && lastStatus[p] == ZOR_OK;
             ++k) {
          op.changed[k] = op.values[k].value != last[p][k];
        }
        show = show || std::find(op.changed.begin(), op.changed.end(), true) != op.changed.end();
        last[p].clear();
        for (const Element& e : op.values) last[p].push_back(e.value);
      } else {
        show = show || op.status.value_or(-1) != lastStatus[p];
      }
      lastStatus[p] = op.ok ? ZOR_OK : op.status.value_or(-1);
      if (show) Emit(op);
    }
    if (csv) csv.flush();
    if (interrupted || (o_.polls != 0 && poll == o_.polls)) break;
    for (int32_t waited = 0; waited < o_.intervalMs && !Interrupted(); waited += 50) {
      host_.sleep(std::min<int32_t>(50, o_.intervalMs - waited));
    }
    if (Interrupted()) {
      interrupted = true;
      break;
    }
  }
  // Statistics per point.
  for (size_t p = 0; p < plans.size(); ++p) {
    const PointStats& s = stats[p];
    std::vector<double> ms = s.ms;
    std::sort(ms.begin(), ms.end());
    double mean = 0;
    for (double v : ms) mean += v;
    if (!ms.empty()) mean /= static_cast<double>(ms.size());
    auto at = [&ms](double q) {
      if (ms.empty()) return 0.0;
      const size_t index =
          static_cast<size_t>(std::ceil(q * static_cast<double>(ms.size()))) - (q > 0 ? 1 : 0);
      return ms[std::min(index, ms.size() - 1)];
    };
    int64_t failed = 0;
    for (const auto& [status, n] : s.failures) failed += n;
    if (o_.json) {
      OpResult record;
      record.operation = "stats";
      record.point = plans[p].spec.text;
      record.count = plans[p].spec.count;
      record.ok = failed == 0;
      record.exitCode = interrupted ? kExitInterrupted : exitCode;
      record.interrupted = interrupted;
      record.retries = static_cast<int>(s.retries);
      for (double v : ms) record.elapsedMs += v;
      nlohmann::ordered_json j = ToJson(record, render_);
      j["polls"] = s.polls;
      j["failed"] = failed;
      nlohmann::ordered_json byStatus = nlohmann::ordered_json::object();
      for (const auto& [status, n] : s.failures) byStatus[std::to_string(status)] = n;
      j["failures"] = byStatus;
      j["responseMs"] = {{"min", ms.empty() ? 0.0 : ms.front()},
                         {"mean", mean},
                         {"p99", at(0.99)},
                         {"max", ms.empty() ? 0.0 : ms.back()}};
      out_ << j.dump() << "\n";
    } else {
      char line[256];
      std::snprintf(line, sizeof line,
                    "%-10s polls %lld, failed %lld, retries seen %lld, response ms min %.1f mean "
                    "%.1f p99 %.1f max %.1f",
                    plans[p].spec.text.c_str(), static_cast<long long>(s.polls),
                    static_cast<long long>(failed), static_cast<long long>(s.retries),
                    ms.empty() ? 0.0 : ms.front(), mean, at(0.99), ms.empty() ? 0.0 : ms.back());
      out_ << line;
      for (const auto& [status, n] : s.failures) {
        out_ << "; status " << status << ": " << n;
      }
      out_ << "\n";
    }
  }
  out_ << std::flush;
  if (interrupted) {
    if (!o_.json) {
      std::lock_guard<std::mutex> lock(ConsoleMutex());
      err_ << "tiway: interrupted: watch ended; nothing was written\n";
    }
    return kExitInterrupted;
  }
  return exitCode;
}

}  // namespace tiway
