#include "audio/device_names.h"

#include <algorithm>
#include <map>

#include "text/utf8.h"

namespace kestravo::audio {

void part_shared_names(std::vector<std::string>& names, const std::vector<std::string>& keys) {
  std::vector<int> suffixes(names.size(), 0);
  for (std::size_t round = 0; round <= names.size(); ++round) {
    std::map<std::string, std::vector<std::size_t>> sharing;
    for (std::size_t i = 0; i < names.size(); ++i) sharing[names[i]].push_back(i);
    bool parted = false;
    for (const auto& [name, group] : sharing) {
      if (group.size() < 2) continue;
      const int fewest =
          suffixes[std::ranges::min(group, {}, [&](std::size_t i) { return suffixes[i]; })];
      for (const std::size_t i : group) {
        if (suffixes[i] != fewest) continue;
        names[i] += utf8_lossy(" (" + keys[i] + ")");
        ++suffixes[i];
        parted = true;
      }
    }
    if (!parted) break;
  }
}

}  // namespace kestravo::audio
