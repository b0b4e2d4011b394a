// A fault campaign over whole runs of the program. Every scenario runs once
// as it is, recording the operating-system calls it reaches; then again with
// the process cut off after each of its calls (and, for a write, with that
// write lost), after which Orbel starts again over what was left until the
// session is over; then once per occurrence of each call with that call
// failing once, and failing from then on; and once per kind of odd data the
// system can hand back. After each run (and between messages, every few
// virtual minutes) the same invariants must hold. Each scenario is a test of
// its own, so one can be rerun by name; the suite prints the totals.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>

#include "campaign_runner.h"
#include "campaign_scenarios.h"
#include "odd_data.h"

namespace {

// Under the sanitizers the whole campaign would take too long: they run a
// fixed sample of it (see run_campaign).
#ifdef ORBEL_CAMPAIGN_SAMPLE
constexpr bool SAMPLE = true;
#else
constexpr bool SAMPLE = false;
#endif

class FaultCampaign : public ::testing::TestWithParam<campaign::Scenario> {
 protected:
  static void SetUpTestSuite() {
    totals_ = campaign::Totals{};
    scenarios_ = 0;
    wall_start_ = std::chrono::steady_clock::now();
  }
  static void TearDownTestSuite() {
    const double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start_).count();
    std::cout << "fault campaign" << (SAMPLE ? " (sample)" : "") << ": " << scenarios_ << " scenarios, "
              << totals_.runs << " runs, " << totals_.call_sites << " call sites (" << totals_.calls.size()
              << " calls), " << totals_.cuts << " cuts, " << totals_.faults_injected << " injected faults, "
              << totals_.odd_runs << " odd-data runs, " << totals_.checks << " checks, " << totals_.violations.size()
              << " invariant violations, wall " << wall_s << " s" << std::endl;
  }

  static void add(const campaign::Totals& t) {
    ++scenarios_;
    totals_.runs += t.runs;
    totals_.cuts += t.cuts;
    totals_.call_sites += t.call_sites;
    totals_.calls.insert(t.calls.begin(), t.calls.end());
    totals_.faults_injected += t.faults_injected;
    totals_.odd_runs += t.odd_runs;
    totals_.checks += t.checks;
    totals_.violations.insert(totals_.violations.end(), t.violations.begin(), t.violations.end());
  }

  static campaign::Totals totals_;
  static std::size_t scenarios_;
  static std::chrono::steady_clock::time_point wall_start_;
};

campaign::Totals FaultCampaign::totals_;
std::size_t FaultCampaign::scenarios_ = 0;
std::chrono::steady_clock::time_point FaultCampaign::wall_start_;

TEST_P(FaultCampaign, EveryInvariantHoldsUnderEveryFaultAndOddData) {
  static const std::vector<campaign::OddData> odd = campaign::odd_data();
  const campaign::Totals t = campaign::run_campaign(GetParam(), odd, SAMPLE);
  for (const std::string& v : t.violations) ADD_FAILURE() << GetParam().name << " | " << v;
  add(t);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultCampaign, ::testing::ValuesIn(campaign::campaign_scenarios()),
                         [](const ::testing::TestParamInfo<campaign::Scenario>& param) { return param.param.name; });

}  // namespace
