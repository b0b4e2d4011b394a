// winsim's list of power plans answers as Windows documents it, before and
// after the user deletes a plan.
#include "plan_list_check.h"

#include "winsim/control.h"

namespace {

TEST(PlanList, ListsTheExistingPlansAsDocumented) {
  winsim::reset();
  plan_list::check(PowerEnumerate, winsim::plan_guids());
  const GUID created = winsim::create_plan("Mine", {2, 3});
  ASSERT_TRUE(winsim::delete_plan(winsim::plan_guid("Power saver")));
  const std::vector<GUID> plans = winsim::plan_guids();
  ASSERT_EQ(plans.size(), 3u);
  EXPECT_EQ(winsim::trace_text(plans.back()), winsim::trace_text(created));
  plan_list::check(PowerEnumerate, plans);
}

}  // namespace
