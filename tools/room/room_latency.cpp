#include "tools/room/room_latency.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <strings.h>

namespace tessel_room {

namespace {

std::string trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string> splitCommas(const std::string& line) {
  std::vector<std::string> cells;
  size_t start = 0;
  for (;;) {
    size_t comma = line.find(',', start);
    cells.push_back(trim(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (comma == std::string::npos) return cells;
    start = comma + 1;
  }
}

bool parseMs(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return errno == 0 && *end == '\0' && std::isfinite(value) && value >= 0 && value < 60000;
}

}  // namespace

int LatencyMatrix::find(const std::string& name) const {
  for (size_t i = 0; i < places.size(); ++i)
    if (strcasecmp(places[i].c_str(), name.c_str()) == 0) return static_cast<int>(i);
  return -1;
}

double LatencyMatrix::largestRtt() const {
  double largest = 0;
  for (const auto& row : rttMs)
    for (double ms : row) largest = std::max(largest, ms);
  return largest;
}

bool LatencyMatrix::parse(const std::string& text, LatencyMatrix& out, std::string& why) {
  std::istringstream in(text);
  std::string line;
  std::vector<std::vector<std::string>> rows;
  while (std::getline(in, line))
    if (!trim(line).empty()) rows.push_back(splitCommas(line));
  if (rows.empty()) {
    why = "no header row";
    return false;
  }
  LatencyMatrix matrix;
  matrix.places.assign(rows[0].begin() + 1, rows[0].end());
  const size_t n = matrix.places.size();
  if (n == 0 || n > size_t(MaxPlaces)) {
    why = "the header names " + std::to_string(n) + " places, not 1 to " + std::to_string(MaxPlaces);
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    if (matrix.places[i].empty() || matrix.find(matrix.places[i]) != int(i)) {
      why = "place " + std::to_string(i + 1) + " of the header is empty or named twice";
      return false;
    }
  }
  if (rows.size() != n + 1) {
    why = std::to_string(n) + " places in the header but " + std::to_string(rows.size() - 1) + " rows";
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    const auto& row = rows[i + 1];
    if (row.size() != n + 1 || strcasecmp(row[0].c_str(), matrix.places[i].c_str()) != 0) {
      why = "row " + std::to_string(i + 1) + " is not " + matrix.places[i] + " followed by " + std::to_string(n) +
            " round trips";
      return false;
    }
    std::vector<double> rtt(n);
    for (size_t j = 0; j < n; ++j) {
      if (!parseMs(row[j + 1], rtt[j])) {
        why = "from " + matrix.places[i] + " to " + matrix.places[j] + ": '" + row[j + 1] +
              "' is not a round trip in milliseconds (0 to 60000)";
        return false;
      }
    }
    rtt[i] = 0;
    matrix.rttMs.push_back(std::move(rtt));
  }
  out = std::move(matrix);
  return true;
}

bool LatencyMatrix::load(const std::string& path, LatencyMatrix& out, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot read '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  if (!parse(text.str(), out, why)) {
    why = path + ": " + why;
    return false;
  }
  return true;
}

bool assignPlaces(const LatencyMatrix& matrix, const std::string& names, int peers, std::vector<int>& placeOfSlot,
                  std::string& why) {
  std::vector<int> cycle;
  if (names.empty()) {
    for (int place = 0; place < std::max(1, matrix.size()); ++place) cycle.push_back(place);
  } else {
    for (const std::string& name : splitCommas(names)) {
      int place = matrix.find(name);
      if (place < 0) {
        why = "no place '" + name + "' in the matrix";
        return false;
      }
      cycle.push_back(place);
    }
  }
  placeOfSlot.clear();
  for (int slot = 0; slot < peers; ++slot) placeOfSlot.push_back(cycle[size_t(slot) % cycle.size()]);
  return true;
}

std::string shimConfiguration(const LatencyMatrix& matrix, double loss, int jitterMs, const std::string& portTable) {
  std::string text = "# tessel-room: the latency shim of one run\n";
  const int places = std::max(1, matrix.size());
  text += "places " + std::to_string(places) + "\n";
  for (int from = 0; from < matrix.size(); ++from)
    for (int to = 0; to < matrix.size(); ++to)
      text += "delay " + std::to_string(from) + " " + std::to_string(to) + " " +
              std::to_string(std::llround(matrix.rttMs[size_t(from)][size_t(to)] * 500)) + "\n";
  char line[64];
  std::snprintf(line, sizeof(line), "loss %.6f\n", loss);
  text += line;
  text += "jitter " + std::to_string(int64_t(jitterMs) * 1000) + "\n";
  text += "ports " + portTable + "\n";
  return text;
}

TreeFigure bestStar(int members, const LinkLatency& latency, const CanRelay& canRoot) {
  TreeFigure best;
  for (int root = 0; root < members; ++root) {
    if (members > 1 && !canRoot(root)) continue;
    double worst = 0;
    bool whole = true;
    for (int member = 0; member < members && whole; ++member) {
      if (member == root) continue;
      double link = latency(root, member);
      whole = link >= 0;
      worst = std::max(worst, link);
    }
    if (whole && (best.root < 0 || worst < best.worst)) best = {root, worst};
  }
  return best;
}

TreeFigure lowerBound(int members, const LinkLatency& latency, const CanRelay& canRoot) {
  TreeFigure best;
  const double far = std::numeric_limits<double>::infinity();
  for (int root = 0; root < members; ++root) {
    if (members > 1 && !canRoot(root)) continue;
    // Dijkstra's algorithm; only members that may relay pass a path on.
    std::vector<double> distance(size_t(members), far);
    std::vector<bool> done(size_t(members), false);
    distance[size_t(root)] = 0;
    for (int round = 0; round < members; ++round) {
      int next = -1;
      for (int s = 0; s < members; ++s)
        if (!done[size_t(s)] && distance[size_t(s)] < far && (next < 0 || distance[size_t(s)] < distance[size_t(next)]))
          next = s;
      if (next < 0) break;
      done[size_t(next)] = true;
      if (next != root && !canRoot(next)) continue;
      for (int s = 0; s < members; ++s) {
        double link = s == next ? -1 : latency(next, s);
        if (link >= 0) distance[size_t(s)] = std::min(distance[size_t(s)], distance[size_t(next)] + link);
      }
    }
    double worst = *std::max_element(distance.begin(), distance.end());
    if (worst < far && (best.root < 0 || worst < best.worst)) best = {root, worst};
  }
  return best;
}

double treeWorst(const std::vector<int>& parent, const LinkLatency& latency) {
  double worst = 0;
  for (size_t member = 0; member < parent.size(); ++member) {
    double path = 0;
    // A parent list that is not a tree ends the walk after as many hops as
    // there are members.
    size_t at = member;
    for (size_t hops = 0; hops < parent.size() && parent[at] >= 0 && size_t(parent[at]) != at; ++hops) {
      path += latency(int(at), parent[at]);
      at = size_t(parent[at]);
    }
    worst = std::max(worst, path);
  }
  return worst;
}

}  // namespace tessel_room
