// The report helper's property list of a synchronisation query.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "DVLReportHelper.h"
#include "ZEBSchema.h"

// Reaches the helper's private members, declared a friend by the helper.
struct DVLReportHelperTestAccess {
  static void addSyncProperties(ZEBPropEnumArray& properties, ZEBQueryOptions& options, ZEBPropEnumArray* requested,
                                ZEBObjectRegistryI& registry, int withOwner) {
    DVLReportHelper::addSyncProperties(properties, options, requested, registry, withOwner);
  }
};

namespace {

using P = ZEBPropEnum;
using Props = std::vector<ZEBPropEnum::Enum>;

// The order in which the service has always received the sync properties.
const Props ownerOrder = {
    P::paths,       P::metadataModel,    P::defaultName, P::ownerPassport,     P::defaultDescription,
    P::runAsOwner,  P::options,          P::objectClass, P::creationTime,      P::parameters,
    P::dataBlocks,  P::specification,    P::storeID,     P::searchPath,        P::notificationList,
    P::permissions, P::modificationTime, P::name,        P::allowNotification, P::metadataModelPackage,
    P::description, P::allowSubscription};

Props without(Props list, std::initializer_list<ZEBPropEnum::Enum> removed) {
  for (ZEBPropEnum::Enum value : removed) list.erase(std::find(list.begin(), list.end(), value));
  return list;
}

Props propsOf(const ZEBPropEnumArray& properties) {
  Props out;
  for (size_t i = 0; i < properties.size(); ++i) out.push_back(properties.at(i)->getValue());
  return out;
}

// ---- addSyncProperties ----

class SyncPropertiesTest : public testing::Test {
 protected:
  ZEBPropEnumArray properties;
  ZEBQueryOptions options;
  ZEBObjectRegistry registry;
};

TEST_F(SyncPropertiesTest, AppendsTwentyWithoutOwnerOrTwentyTwoWithTheOwnerPropertiesFourthAndSixth) {
  DVLReportHelperTestAccess::addSyncProperties(properties, options, nullptr, registry, 0);
  EXPECT_EQ(propsOf(properties), without(ownerOrder, {P::ownerPassport, P::runAsOwner}));
  EXPECT_STREQ(options.getPermission(), "read");
  EXPECT_EQ(registry.size(), 20u);  // every entry made is the registry's
  ZEBPropEnumArray withOwner;
  DVLReportHelperTestAccess::addSyncProperties(withOwner, options, nullptr, registry, 1);
  EXPECT_EQ(propsOf(withOwner), ownerOrder);
}

TEST_F(SyncPropertiesTest, RequestedPropertiesComeFirstAsTheCallersObjectsAndAreNotRepeated) {
  ZEBPropEnum name(P::name), format(P::format), kept(P::detail);
  properties.push_back(&kept);
  ZEBPropEnumArray requested;
  requested.push_back(&name);
  requested.push_back(&format);
  DVLReportHelperTestAccess::addSyncProperties(properties, options, &requested, registry, 0);

  ASSERT_EQ(properties.size(), 1u + 2u + 19u);
  EXPECT_EQ(properties.at(0), &kept);
  EXPECT_EQ(properties.at(1), &name);
  EXPECT_EQ(properties.at(2), &format);
  Props rest = propsOf(properties);
  rest.erase(rest.begin(), rest.begin() + 3);
  EXPECT_EQ(rest, without(ownerOrder, {P::ownerPassport, P::runAsOwner, P::name}));
}

// getCapabilities against real accounts, the header it renews and when: the live query suite.

}  // namespace
