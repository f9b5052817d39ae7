#include "bench/bench_report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace tessel_bench {

double Samples::percentile(double p) const {
  if (micros.empty()) return 0;
  std::vector<double> sorted = micros;
  std::sort(sorted.begin(), sorted.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * double(sorted.size())));
  if (rank < 1) rank = 1;
  return sorted[std::min(rank, sorted.size()) - 1];
}

namespace {

double ratio(double tessel, double raw) { return raw > 0 ? tessel / raw : 0; }

// A ratio for the table: "-" where raw is zero (nothing to compare with).
std::string ratioText(double tessel, double raw) {
  if (raw <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f", tessel / raw);
  return text;
}

// value to places decimals: the file shows the precision the figures have.
double rounded(double value, int places) {
  const double scale = std::pow(10.0, places);
  return std::round(value * scale) / scale;
}

}  // namespace

void Report::printTable() const {
  std::printf("\ntessel benchmark  commit %s  %s  cores %d  load %.2f %.2f %.2f (start)  %.2f %.2f %.2f (end)\n",
              commit.c_str(), date.c_str(), cores, loadStart[0], loadStart[1], loadStart[2], loadEnd[0], loadEnd[1],
              loadEnd[2]);
  std::printf("raw = the same traffic written straight on ENet; x = tessel / raw, both measured in this run\n");
  for (const std::string& line : legend) std::printf("%s\n", line.c_str());
  std::printf("\n");
  std::printf("%-44s %10s %10s %10s %10s %7s %7s %8s %9s\n", "latency (us)", "raw p50", "raw p99", "tessel p50",
              "tessel p99", "x p50", "x p99", "samples", "lost r/t");
  for (const Figure& figure : figures) {
    if (!figure.latency) continue;
    double rp50 = figure.raw.percentile(50), rp99 = figure.raw.percentile(99);
    double tp50 = figure.tessel.percentile(50), tp99 = figure.tessel.percentile(99);
    std::printf("%-44s %10.1f %10.1f %10.1f %10.1f %7.2f %7.2f %8zu %4d/%-4d\n", figure.label.c_str(), rp50, rp99,
                tp50, tp99, ratio(tp50, rp50), ratio(tp99, rp99), figure.tessel.micros.size(), figure.raw.lost,
                figure.tessel.lost);
  }
  std::printf("\n%-44s %10s %10s %7s  %s\n", "throughput and cost", "raw", "tessel", "x", "unit");
  for (const Figure& figure : figures) {
    if (figure.latency) continue;
    std::printf("%-44s %10.3f %10.3f %7s  %s%s%s\n", figure.label.c_str(), figure.rawValue, figure.tesselValue,
                ratioText(figure.tesselValue, figure.rawValue).c_str(), figure.unit.c_str(),
                figure.note.empty() ? "" : "  ", figure.note.c_str());
  }
  bool first = true;
  for (const Figure& figure : figures) {
    if (!figure.latency || figure.note.empty()) continue;
    std::printf("%s  %s: %s\n", first ? "\nnotes\n" : "", figure.label.c_str(), figure.note.c_str());
    first = false;
  }
  std::printf("\ntargets\n");
  for (const Target& target : targets)
    std::printf("  %-62s %8.3f (%s %.3f)  %s\n", target.text.c_str(), target.value,
                target.atLeast ? "at least" : "at most", target.limit,
                target.met ? "met" : "MISSED");
  std::printf("\n%.0f s of measuring\n", seconds);
}

bool Report::writeJson(const std::string& path) const {
  using Json = nlohmann::ordered_json;
  Json json;
  json["commit"] = commit;
  json["date"] = date;
  json["cores"] = cores;
  json["load_start"] = {rounded(loadStart[0], 2), rounded(loadStart[1], 2), rounded(loadStart[2], 2)};
  json["load_end"] = {rounded(loadEnd[0], 2), rounded(loadEnd[1], 2), rounded(loadEnd[2], 2)};
  json["seconds"] = rounded(seconds, 1);
  json["legend"] = legend;
  Json& list = json["figures"] = Json::array();
  for (const Figure& figure : figures) {
    Json entry = {{"key", figure.key}, {"label", figure.label}, {"unit", figure.unit}};
    if (figure.latency) {
      double rp50 = figure.raw.percentile(50), rp99 = figure.raw.percentile(99);
      double tp50 = figure.tessel.percentile(50), tp99 = figure.tessel.percentile(99);
      entry["raw_p50"] = rounded(rp50, 2);
      entry["raw_p99"] = rounded(rp99, 2);
      entry["tessel_p50"] = rounded(tp50, 2);
      entry["tessel_p99"] = rounded(tp99, 2);
      entry["ratio_p50"] = rounded(ratio(tp50, rp50), 3);
      entry["ratio_p99"] = rounded(ratio(tp99, rp99), 3);
      entry["samples"] = figure.tessel.micros.size();
      entry["raw_lost"] = figure.raw.lost;
      entry["tessel_lost"] = figure.tessel.lost;
    } else {
      entry["raw"] = rounded(figure.rawValue, 4);
      entry["tessel"] = rounded(figure.tesselValue, 4);
      // null where raw is zero: nothing to compare with.
      entry["ratio"] = figure.rawValue > 0 ? Json(rounded(figure.tesselValue / figure.rawValue, 3)) : Json(nullptr);
    }
    if (!figure.note.empty()) entry["note"] = figure.note;
    list.push_back(std::move(entry));
  }
  Json& goals = json["targets"] = Json::array();
  for (const Target& target : targets)
    goals.push_back({{"text", target.text},
                     {"value", rounded(target.value, 4)},
                     {"limit", rounded(target.limit, 4)},
                     {"at_least", target.atLeast},
                     {"met", target.met}});

  std::ofstream out(path, std::ios::trunc);
  // Text that is not UTF-8 is replaced rather than thrown about.
  out << json.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
  out.close();
  return !out.fail();
}

}  // namespace tessel_bench
