// The figures of one benchmark run: latency samples summed up as
// percentiles, throughput and cost figures, each measured for tessel and
// for raw ENet in the same run, printed as one table and written as JSON.

#ifndef TESSEL_BENCH_BENCH_REPORT_H_
#define TESSEL_BENCH_BENCH_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tessel_bench {

// Latency samples in microseconds, and the samples that never arrived.
struct Samples {
  std::vector<double> micros;
  int lost = 0;

  // Nearest-rank percentile (0 < p <= 100); 0 without samples.
  double percentile(double p) const;
};

// One line of the table: the same figure for raw ENet and for tessel.
struct Figure {
  std::string key;     // JSON name
  std::string label;   // table text
  std::string unit;    // "us", "msg/s", "cpu s/100k", "alloc/pkt"
  bool latency = false;
  Samples raw, tessel;            // latency figures
  double rawValue = 0, tesselValue = 0;  // other figures
  std::string note;
};

// Whether one of the run's targets was met, with the ratio that decides.
struct Target {
  std::string text;
  double value = 0;
  double limit = 0;
  // The limit is a floor (value at least limit) rather than a ceiling.
  bool atLeast = false;
  bool met = false;
};

struct Report {
  std::string commit;
  std::string date;  // UTC, ISO 8601
  int cores = 0;
  double loadStart[3] = {0, 0, 0};
  double loadEnd[3] = {0, 0, 0};
  double seconds = 0;
  // Lines under the header that say how the figures were taken.
  std::vector<std::string> legend;
  std::vector<Figure> figures;
  std::vector<Target> targets;

  void printTable() const;
  // Writes the report to path; false when the file cannot be written.
  bool writeJson(const std::string& path) const;
};

}  // namespace tessel_bench

#endif  // TESSEL_BENCH_BENCH_REPORT_H_
