#include "audio/device_names.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <tuple>

#include "text/utf8.h"

namespace kestravo::audio {

std::vector<Listed> list_offered(std::span<const Offered> offered) {
  std::vector<std::size_t> order(offered.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  const auto rank = [&](std::size_t i) {
    const Offered& d = offered[i];
    const int within = d.follow != Follow::None ? 0 : d.is_default ? 1 : 2;
    return std::tuple(static_cast<int>(d.group), within);
  };
  std::ranges::stable_sort(order, {}, rank);

  std::vector<std::string> names;
  std::vector<std::string> keys;
  std::vector<Listed> listed;
  for (const std::size_t i : order) {
    listed.push_back({.offered = i, .name = {}});
    const auto& plain = offered[i].plain;
    if (!plain) continue;
    names.push_back(text::utf8_lossy(*plain));
    keys.push_back(offered[i].key);
  }
  part_shared_names(names, keys);
  auto name = names.begin();
  for (auto& l : listed) {
    if (offered[l.offered].plain) l.name = std::move(*name++);
  }
  return listed;
}

std::vector<std::string> other_names(const Offered& device) {
  std::vector<std::string> names = {device.key};
  if (device.plain && *device.plain != device.key) {
    names.push_back(*device.plain);
    names.push_back(*device.plain + " (" + device.key + ")");
  }
  if (device.follow == Follow::DefaultInput) names.emplace_back("default");
  return names;
}

std::string_view application_of(std::string_view name, std::string_view binary,
                                std::string_view stream) {
  return !name.empty() ? name : !binary.empty() ? binary : stream;
}

std::string application_device_name(std::string_view application) {
  return std::string(application) + " (application)";
}

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
        names[i] += text::utf8_lossy(" (" + keys[i] + ")");
        ++suffixes[i];
        parted = true;
      }
    }
    if (!parted) break;
  }
}

}  // namespace kestravo::audio
