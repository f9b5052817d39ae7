#include "bench/bench_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

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

// A ratio for the JSON file: null where raw is zero.
std::string ratioJson(double tessel, double raw) {
  if (raw <= 0) return "null";
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", tessel / raw);
  return text;
}

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
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
    std::printf("  %-62s %8.3f (limit %.3f)  %s\n", target.text.c_str(), target.value, target.limit,
                target.met ? "met" : "MISSED");
  std::printf("\n%.0f s of measuring\n", seconds);
}

bool Report::writeJson(const std::string& path) const {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file, "{\n  \"commit\": \"%s\",\n  \"date\": \"%s\",\n  \"cores\": %d,\n", escape(commit).c_str(),
               escape(date).c_str(), cores);
  std::fprintf(file, "  \"load_start\": [%.2f, %.2f, %.2f],\n  \"load_end\": [%.2f, %.2f, %.2f],\n", loadStart[0],
               loadStart[1], loadStart[2], loadEnd[0], loadEnd[1], loadEnd[2]);
  std::fprintf(file, "  \"seconds\": %.1f,\n  \"legend\": [", seconds);
  for (size_t i = 0; i < legend.size(); ++i)
    std::fprintf(file, "%s\"%s\"", i > 0 ? ", " : "", escape(legend[i]).c_str());
  std::fprintf(file, "],\n  \"figures\": [\n");
  for (size_t i = 0; i < figures.size(); ++i) {
    const Figure& figure = figures[i];
    std::fprintf(file, "    {\"key\": \"%s\", \"label\": \"%s\", \"unit\": \"%s\"", escape(figure.key).c_str(),
                 escape(figure.label).c_str(), escape(figure.unit).c_str());
    if (figure.latency) {
      double rp50 = figure.raw.percentile(50), rp99 = figure.raw.percentile(99);
      double tp50 = figure.tessel.percentile(50), tp99 = figure.tessel.percentile(99);
      std::fprintf(file,
                   ", \"raw_p50\": %.2f, \"raw_p99\": %.2f, \"tessel_p50\": %.2f, \"tessel_p99\": %.2f, "
                   "\"ratio_p50\": %.3f, \"ratio_p99\": %.3f, \"samples\": %zu, \"raw_lost\": %d, \"tessel_lost\": %d",
                   rp50, rp99, tp50, tp99, ratio(tp50, rp50), ratio(tp99, rp99), figure.tessel.micros.size(),
                   figure.raw.lost, figure.tessel.lost);
    } else {
      std::fprintf(file, ", \"raw\": %.4f, \"tessel\": %.4f, \"ratio\": %s", figure.rawValue, figure.tesselValue,
                   ratioJson(figure.tesselValue, figure.rawValue).c_str());
    }
    if (!figure.note.empty()) std::fprintf(file, ", \"note\": \"%s\"", escape(figure.note).c_str());
    std::fprintf(file, "}%s\n", i + 1 < figures.size() ? "," : "");
  }
  std::fprintf(file, "  ],\n  \"targets\": [\n");
  for (size_t i = 0; i < targets.size(); ++i) {
    const Target& target = targets[i];
    std::fprintf(file, "    {\"text\": \"%s\", \"value\": %.4f, \"limit\": %.4f, \"met\": %s}%s\n",
                 escape(target.text).c_str(), target.value, target.limit, target.met ? "true" : "false",
                 i + 1 < targets.size() ? "," : "");
  }
  std::fprintf(file, "  ]\n}\n");
  return std::fclose(file) == 0;
}

}  // namespace tessel_bench
