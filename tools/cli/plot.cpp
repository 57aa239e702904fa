// plot: the CSV of a watch drawn by gnuplot.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string_view>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "tools/cli/runner.h"

namespace tiway {

namespace {

constexpr const char* kNoGnuplot =
    "gnuplot is not installed (no gnuplot on the PATH): tiway plot draws with it; install it "
    "(Debian, Ubuntu: sudo apt install gnuplot-nox; Windows: gnuplot.info, with its bin folder "
    "on the PATH) and run tiway plot again";

// Whether an executable gnuplot lies in a folder of the PATH.
bool GnuplotOnPath() {
#if defined(_WIN32)
  constexpr char kSeparator = ';';
  constexpr const char* kName = "gnuplot.exe";
#else
  constexpr char kSeparator = ':';
  constexpr const char* kName = "gnuplot";
#endif
  const char* path = std::getenv("PATH");
  std::string_view folders = path != nullptr ? path : "";
  while (!folders.empty()) {
    const size_t end = folders.find(kSeparator);
    std::string folder(folders.substr(0, end));
    folders.remove_prefix(end == std::string_view::npos ? folders.size() : end + 1);
    if (folder.empty()) folder = ".";
    std::error_code code;
    const std::filesystem::path candidate = std::filesystem::path(folder) / kName;
    if (std::filesystem::is_regular_file(candidate, code)) {
#if defined(_WIN32)
      return true;
#else
      if (access(candidate.c_str(), X_OK) == 0) return true;
#endif
    }
  }
  return false;
}

// The exit status of a program pclose waited for.
int ExitStatus(int status) {
#if defined(_WIN32)
  return status;
#else
  return WIFEXITED(status) ? WEXITSTATUS(status) : status;
#endif
}

}  // namespace

std::string PlotScript(const std::vector<std::string>& points,
                       const std::map<std::string, std::string>& blocks, const std::string& title,
                       const std::string& png) {
  // Discretes and single bits (0 or 1) are steps on an axis of their own, so
  // that words in the thousands do not flatten them.
  auto isBit = [](const std::string& point) {
    CheckedPoint checked;
    return !CheckAddress(point, DefaultHostType(point), false, 1, checked) &&
           (checked.kind == PointKind::Discrete || checked.kind == PointKind::VBit);
  };
  bool anyBit = false, anyValue = false;
  for (const std::string& point : points) (isBit(point) ? anyBit : anyValue) = true;
  std::string script;
  for (size_t i = 0; i < points.size(); ++i) {
    script += "$p" + std::to_string(i) + " << EOD\n" + blocks.at(points[i]) + "EOD\n";
  }
  script += "set terminal pngcairo size 1000,600\nset output '" + png +
            "'\nset xdata time\nset timefmt '%Y-%m-%dT%H:%M:%S'\nset format x '%H:%M:%S'\n"
            "set xtics rotate by 30 right\nset key outside right\nset grid\nset title '" +
            title + "'\nset xlabel 'time'\n";
  if (anyValue) script += "set ylabel 'value'\n";
  if (anyBit) {
    const std::string axis = anyValue ? "y2" : "y";
    script += "set " + axis + "range [-0.2:1.2]\nset " + axis + "tics 0,1,1\nset " + axis +
              "label 'bit'\n";
    if (anyValue) script += "set ytics nomirror\n";
  }
  script += "plot ";
  for (size_t i = 0; i < points.size(); ++i) {
    const bool bit = isBit(points[i]);
    script += (i ? ", " : "") + std::string("$p") + std::to_string(i) + " using 1:2 with " +
              (bit ? std::string("steps") + (anyValue ? " axes x1y2" : "") : "linespoints") +
              " title '" + points[i] + "'";
  }
  return script + "\n";
}

int Runner::Plot() {
  std::string text;
  if (Problem why = host_.readFile(o_.plotInput, text)) {
    OpResult f = Failure("plot", kExitUsage, o_.plotInput + ": cannot read the CSV: " + *why);
    return Finish(f);
  }
  // The good samples of each point, in the order the points first appear;
  // each becomes a data block of its own, so that its line is unbroken.
  std::vector<std::string> points;
  std::map<std::string, std::string> blocks;
  std::istringstream lines(text);
  std::string line;
  size_t samples = 0;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t a = line.find(',');
    const size_t b = a == std::string::npos ? a : line.find(',', a + 1);
    const size_t c = b == std::string::npos ? b : line.find(',', b + 1);
    if (c == std::string::npos || line.rfind("time,", 0) == 0) continue;
    if (line.substr(c + 1) != "0" || c == b + 1) continue;  // a failed poll has no value
    const std::string point = line.substr(a + 1, b - a - 1);
    if (blocks.find(point) == blocks.end()) points.push_back(point);
    blocks[point] += line.substr(0, a) + " " + line.substr(b + 1, c - b - 1) + "\n";
    ++samples;
  }
  if (points.empty()) {
    OpResult f =
        Failure("plot", kExitUsage, o_.plotInput + " holds no samples (time,point,value,status)");
    return Finish(f);
  }
  const std::string script = PlotScript(points, blocks, o_.plotInput, o_.plotOutput);
  // Looked for first: the shell that popen starts would otherwise only say
  // "gnuplot: not found" and leave an exit status of 127 to explain.
  FILE* gnuplot = GnuplotOnPath() ? popen("gnuplot", "w") : nullptr;
  if (gnuplot == nullptr) {
    OpResult f = Failure("plot", kExitUsage, kNoGnuplot);
    return Finish(f);
  }
  std::fwrite(script.data(), 1, script.size(), gnuplot);
  const int status = pclose(gnuplot);
  if (status != 0) {
    OpResult f = Failure("plot", kExitUsage,
                         "gnuplot could not draw " + o_.plotOutput + " (exit status " +
                             std::to_string(ExitStatus(status)) + "; its own message is above)");
    return Finish(f);
  }
  if (o_.json) {
    OpResult record;
    record.operation = "plot";
    record.message = "wrote " + o_.plotOutput;
    nlohmann::ordered_json j = ToJson(record, render_);
    j["png"] = o_.plotOutput;
    j["points"] = points;
    j["samples"] = samples;
    out_ << j.dump() << "\n";
  } else {
    out_ << "wrote " << o_.plotOutput << ": " << points.size() << " points, " << samples
         << " samples\n";
  }
  return kExitOk;
}

}  // namespace tiway
