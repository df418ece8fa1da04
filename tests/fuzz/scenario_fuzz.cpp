// Arbitrary documents through the simulated host's scenario reader. A
// document is either refused with a reason that fits the one harness line
// ("kestravo-sim: scenario: REASON"), or read into the same scenario every
// time; a scenario that was read must then serve a whole listing: the
// drivers record is one JSON line whose entries obey the listing's rules.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "audio/sim/scenario.h"
#include "audio/sim/sim_host.h"
#include "listing/listing.h"
#include "protocol/json_line.h"
#include "text/utf8.h"

namespace {

namespace sim = kestravo::audio::sim;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "scenario_fuzz: check failed: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto scenario = sim::parse_scenario(text);
  if (!scenario) {
    const std::string& reason = scenario.error();
    check(!reason.empty(), "a refusal gives a reason");
    check(reason.size() < 512, "a short reason");
    check(kestravo::text::utf8_lossy(reason) == reason, "a reason in valid UTF-8");
    return 0;
  }
  const auto again = sim::parse_scenario(text);
  check(again.has_value() && *again == *scenario, "reading is deterministic");

  const auto host = sim::make_host(std::move(*scenario));
  const auto drivers = kestravo::listing::collect_drivers(*host);
  const std::string line = kestravo::protocol::encode_line(drivers);
  check(line.find('\n') == line.size() - 1, "the drivers record is one line");
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(line);
  } catch (const nlohmann::json::exception& e) {
    std::fprintf(stderr, "scenario_fuzz: %s\n%s", e.what(), line.c_str());
    check(false, "the drivers record is valid JSON");
  }
  for (const auto& driver : drivers.drivers) {
    check(driver.inputs >= 1 && driver.inputs <= 65535, "inputs within 1..65535");
    check(driver.sample_rate.has_value(), "every listed device has a rate");
    if (driver.channel_names) {
      check(driver.channel_names->size() == static_cast<std::size_t>(driver.inputs),
            "one channel name per input");
    }
  }
  return 0;
}
