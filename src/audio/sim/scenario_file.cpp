// Reading the scenario file named by the environment.
#include <chrono>
#include <string>

#include "audio/sim/scenario.h"
#include "platform/file.h"
#include "text/utf8.h"

namespace kestravo::audio::sim {

namespace {

// A pipe or device named as the scenario that sends nothing for this long,
// or is not done after the second limit, is given up.
constexpr std::chrono::seconds kReadIdleLimit{5};
constexpr std::chrono::seconds kReadLimit{60};

}  // namespace

std::expected<Scenario, std::string> load_scenario(std::string_view path) {
  if (path.empty()) return default_scenario();
  const std::string file(path);
  // The path comes from the environment, as bytes.
  const std::string shown = text::utf8_lossy(file);
  auto contents = platform::read_whole_file(
      file, platform::FileLimits{
                .max_bytes = kMaxScenarioBytes, .idle = kReadIdleLimit, .total = kReadLimit});
  if (!contents) return std::unexpected("cannot read " + shown + ": " + contents.error());
  auto scenario = parse_scenario(*contents);
  if (!scenario) return std::unexpected(shown + ": " + scenario.error());
  return scenario;
}

}  // namespace kestravo::audio::sim
