#include "bench/soak/soak_stats.h"

#include <algorithm>
#include <cstdio>

namespace soak {

namespace {

using nlohmann::json;

// Every per-kind counter, by its JSON name.
template <class F>
void EachCounter(KindStats& k, F f) {
  f("transactions", k.transactions);
  f("wrongData", k.wrongData);
  f("failedReadTouchedArray", k.failedReadTouched);
  f("okWriteNotInMemory", k.okWriteNotInMemory);
  f("failedWriteApplied", k.failedWriteApplied);
  f("failedWriteCorrupt", k.failedWriteCorrupt);
  f("wrongWordStored", k.wrongWordStored);
  f("guardViolations", k.guardViolations);
  f("overlongCalls", k.overlongCalls);
}

template <class F>
void EachTotal(Totals& t, F f) {
  f("crashes", t.crashes);
  f("soakers", t.soakers);
  f("incompleteSoakers", t.incomplete);
  f("lateEpisodes", t.lateEpisodes);
  f("lateFollowersRetried", t.lateFollowersRetried);
  f("lateFollowersFailed", t.lateFollowersFailed);
  f("backToBackSameShape", t.backToBackSameShape);
  f("wrongFromOtherBlock", t.wrongFromOtherBlock);
  f("defectsAfterTrouble", t.defectsAfterTrouble);
  f("hostMistakes", t.hostMistakes);
  f("hostMistakesNotRefused", t.hostMistakesNotRefused);
  f("logLines", t.logLines);
  f("faultedReplies", t.faultedReplies);
  f("frames", t.frames);
}

}  // namespace

json ToJson(const Totals& totals) {
  Totals t = totals;
  json out;
  EachTotal(t, [&](const char* name, long& value) { out[name] = value; });
  out["seconds"] = t.seconds;
  out["defects"] = Defects(t);
  for (int i = 0; i < kKinds; ++i) {
    KindStats& k = t.kinds[i];
    json kind;
    EachCounter(k, [&](const char* name, long& value) { kind[name] = value; });
    json statuses = json::object();
    for (const auto& [status, calls] : k.statuses) statuses[std::to_string(status)] = calls;
    kind["statuses"] = statuses;
    kind["totalMs"] = k.totalMs;
    kind["maxMs"] = k.maxMs;
    out["kinds"][KindName(static_cast<Kind>(i))] = kind;
  }
  return out;
}

Totals FromJson(const json& in) {
  Totals t;
  EachTotal(t, [&](const char* name, long& value) { value = in.value(name, 0L); });
  t.seconds = in.value("seconds", 0.0);
  for (int i = 0; i < kKinds; ++i) {
    const char* name = KindName(static_cast<Kind>(i));
    if (!in.contains("kinds") || !in["kinds"].contains(name)) continue;
    const json& kind = in["kinds"][name];
    KindStats& k = t.kinds[i];
    EachCounter(k, [&](const char* counter, long& value) { value = kind.value(counter, 0L); });
    for (const auto& [status, calls] : kind["statuses"].items()) {
      k.statuses[std::stoi(status)] = calls.get<long>();
    }
    k.totalMs = kind.value("totalMs", 0.0);
    k.maxMs = kind.value("maxMs", 0.0);
  }
  return t;
}

void Merge(Totals& into, const Totals& from) {
  Totals source = from;
  std::map<std::string, long*> target;
  EachTotal(into, [&](const char* name, long& value) { target[name] = &value; });
  EachTotal(source, [&](const char* name, long& value) { *target[name] += value; });
  into.seconds = std::max(into.seconds, from.seconds);
  for (int i = 0; i < kKinds; ++i) {
    std::map<std::string, long*> kindTarget;
    EachCounter(into.kinds[i], [&](const char* name, long& value) { kindTarget[name] = &value; });
    EachCounter(source.kinds[i],
                [&](const char* name, long& value) { *kindTarget[name] += value; });
    for (const auto& [status, calls] : from.kinds[i].statuses)
      into.kinds[i].statuses[status] += calls;
    into.kinds[i].totalMs += from.kinds[i].totalMs;
    into.kinds[i].maxMs = std::max(into.kinds[i].maxMs, from.kinds[i].maxMs);
  }
}

long Defects(const Totals& t) {
  long defects = t.crashes + t.hostMistakesNotRefused;
  for (const KindStats& k : t.kinds) {
    defects += k.wrongData + k.failedReadTouched + k.okWriteNotInMemory + k.failedWriteCorrupt +
               k.wrongWordStored + k.guardViolations + k.overlongCalls;
  }
  return defects;
}

std::string Table(const Totals& t) {
  std::string out;
  char line[512];
  std::snprintf(line, sizeof line, "%-15s %7s %7s %6s %6s %6s %6s %6s %6s %6s %6s %8s %8s\n",
                "kind", "calls", "ok", "wrong", "rdTch", "okNot", "flApp", "flCor", "bitWd",
                "guard", "long", "mean ms", "max ms");
  out += line;
  for (int i = 0; i < kKinds; ++i) {
    const KindStats& k = t.kinds[i];
    const auto ok = k.statuses.count(0) != 0 ? k.statuses.at(0) : 0;
    std::snprintf(
        line, sizeof line, "%-15s %7ld %7ld %6ld %6ld %6ld %6ld %6ld %6ld %6ld %6ld %8.1f %8.1f\n",
        KindName(static_cast<Kind>(i)), k.transactions, ok, k.wrongData, k.failedReadTouched,
        k.okWriteNotInMemory, k.failedWriteApplied, k.failedWriteCorrupt, k.wrongWordStored,
        k.guardViolations, k.overlongCalls,
        k.transactions > 0 ? k.totalMs / static_cast<double>(k.transactions) : 0.0, k.maxMs);
    out += line;
  }
  out += "statuses by kind (status:calls):\n";
  for (int i = 0; i < kKinds; ++i) {
    out += std::string("  ") + KindName(static_cast<Kind>(i)) + ":";
    for (const auto& [status, calls] : t.kinds[i].statuses) {
      out += " " + std::to_string(status) + ":" + std::to_string(calls);
    }
    out += "\n";
  }
  std::snprintf(
      line, sizeof line,
      "soakers %ld (crashed %ld, over time %ld), %.0f s; frames %ld, faulted replies %ld; "
      "late-reply episodes %ld (next request retried %ld, failed %ld); back-to-back "
      "same-shape requests %ld; wrong reads holding another block %ld; defects right after a "
      "failed or retried transfer %ld; host mistakes %ld (not refused %ld); log lines %ld\n"
      "DEFECTS %ld\n",
      t.soakers, t.crashes, t.incomplete, t.seconds, t.frames, t.faultedReplies, t.lateEpisodes,
      t.lateFollowersRetried, t.lateFollowersFailed, t.backToBackSameShape, t.wrongFromOtherBlock,
      t.defectsAfterTrouble, t.hostMistakes, t.hostMistakesNotRefused, t.logLines, Defects(t));
  out += line;
  return out;
}

}  // namespace soak
