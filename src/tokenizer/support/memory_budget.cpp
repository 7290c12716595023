#include "tokenizer/support/memory_budget.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <new>
#include <sstream>
#include <string_view>
#include <vector>

namespace tokenizer {
namespace {

/// The smaller of two limits, where 0 is none.
std::uint64_t tighter(std::uint64_t a, std::uint64_t b) {
  if (a == 0) return b;
  if (b == 0) return a;
  return std::min(a, b);
}

std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in{path};
  for (std::string line; std::getline(in, line);) lines.push_back(std::move(line));
  return lines;
}

/// The number a cgroup limit file holds; 0 for "max", a missing file or anything else.
std::uint64_t limit_in(const std::string& path) {
  std::ifstream in{path};
  std::string word;
  if (!(in >> word)) return 0;
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  return error == std::errc{} && end == word.data() + word.size() ? value : 0;
}

/// A mounted cgroup hierarchy: where it is mounted, and which cgroup its mount shows.
struct Mount {
  std::string point;
  std::string shown;  // the hierarchy's path at the mount point ("/" unless a namespace)
  bool version2 = false;
};

/// Mounts of the cgroup2 hierarchy and of the v1 hierarchy with the memory controller.
std::vector<Mount> memory_mounts(const std::string& root) {
  // mountinfo: id parent dev root point options [optional...] - type source super-options
  std::vector<Mount> mounts;
  for (const std::string& line : lines_of(root + "/proc/self/mountinfo")) {
    std::istringstream fields{line};
    std::string id, parent, device, shown, point, word;
    if (!(fields >> id >> parent >> device >> shown >> point)) continue;
    while (fields >> word && word != "-") {
    }
    std::string type, source, options;
    if (!(fields >> type >> source >> options)) continue;
    const bool memory_v1 =
        type == "cgroup" && ("," + options + ",").find(",memory,") != std::string::npos;
    if (type == "cgroup2" || memory_v1) mounts.push_back({point, shown, type == "cgroup2"});
  }
  return mounts;
}

/// The smallest limit in `file` from the cgroup `path` of the hierarchy mounted as `mount` up to
/// the mount's top. Levels the mount does not show (another namespace's paths) are skipped.
std::uint64_t hierarchy_limit(const std::string& root, const Mount& mount, std::string path,
                              const char* file) {
  if (mount.shown != "/" && path.rfind(mount.shown, 0) == 0) path.erase(0, mount.shown.size());
  std::uint64_t limit = 0;
  for (;;) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    limit = tighter(limit, limit_in(root + mount.point + path + "/" + file));
    if (path.empty()) return limit;
    path.erase(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
  }
}

std::uint64_t cgroup_limit(const std::string& root) {
  // /proc/self/cgroup: "hierarchy:controllers:path"; "0::path" is the v2 hierarchy.
  std::string v2_path, v1_path;
  bool has_v2 = false, has_v1 = false;
  for (const std::string& line : lines_of(root + "/proc/self/cgroup")) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      v2_path = path;
      has_v2 = true;
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      v1_path = path;
      has_v1 = true;
    }
  }
  std::uint64_t limit = 0;
  for (const Mount& mount : memory_mounts(root)) {
    if (mount.version2 && has_v2) {
      limit = tighter(limit, hierarchy_limit(root, mount, v2_path, "memory.max"));
    } else if (!mount.version2 && has_v1) {
      limit = tighter(limit, hierarchy_limit(root, mount, v1_path, "memory.limit_in_bytes"));
    }
  }
  return limit;
}

std::uint64_t soft_limit(int resource) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace

MemoryLimits read_memory_limits(const std::string& root) {
  MemoryLimits limits;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0) {
    limits.physical = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
  }
  limits.cgroup = cgroup_limit(root == "/" ? std::string{} : root);
  limits.address_space = soft_limit(RLIMIT_AS);
  limits.data = soft_limit(RLIMIT_DATA);
  return limits;
}

std::size_t memory_budget_from(const MemoryLimits& limits) {
  std::uint64_t smallest = limits.physical;
  smallest = tighter(smallest, limits.cgroup);
  smallest = tighter(smallest, limits.address_space);
  smallest = tighter(smallest, limits.data);
  if (smallest == 0) smallest = std::uint64_t{1} << 32;  // nothing known: assume a small machine
  const std::uint64_t ceiling = std::numeric_limits<std::size_t>::max() / 4;
  return static_cast<std::size_t>(std::min(smallest / 4, ceiling));
}

std::size_t memory_budget() {
  static const std::size_t budget = memory_budget_from(read_memory_limits());
  return budget;
}

void check_memory_budget(std::size_t held, std::size_t more) {
  const std::size_t budget = memory_budget();
  if (more > budget || held > budget - more) throw std::bad_alloc{};
}

}  // namespace tokenizer
