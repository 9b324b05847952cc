// The report helper: the session's capabilities through the service, the property list of a
// synchronisation query, and store identifiers read from objects.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "DVLReportHelper.h"
#include "support/FakeService.h"

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
using Capabilities = std::vector<ZEBUserCapabilityEnum::Enum>;

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

// ---- getCapabilities ----

class CapabilitiesTest : public testing::Test {
 protected:
  // The service answers with a session holding two capabilities, and a header when withHeader.
  void answer(bool withHeader, const char* passport = "passport-new") {
    service.respond([=](const RecordedRequest&) {
      ZEBContentQuery_Reply reply;
      ZEBObjectRegistryI& registry = reply.getObjectRegistry();
      auto* session = new ZEBSession;
      registry.registerObject(session);
      for (auto value : {ZEBUserCapabilityEnum::canReadContent, ZEBUserCapabilityEnum::canWriteContent}) {
        auto* capability = new ZEBUserCapabilityEnum(value);
        registry.registerObject(capability);
        session->getUserCapabilities(&registry)->getValue().push_back(capability);
      }
      reply.getResult(&registry)->push_back(session);
      ZEBVorbHeader header;
      header.setClientID("client");
      if (passport) header.setPassport(passport);
      return FakeService::replyOf(reply, withHeader ? &header : nullptr);
    });
  }
  // Runs getCapabilities with a caller header holding ownPassport; returns the new header, if any.
  std::unique_ptr<ZEBVorbHeader> run(const char* ownPassport) {
    ZEBVorbHeader header;
    if (ownPassport) header.setPassport(ownPassport);
    ZEBVorbHeader* newHeader = nullptr;
    DVLReportHelper::getCapabilities(header, service.session(), capabilities, &newHeader, &registry);
    return std::unique_ptr<ZEBVorbHeader>(newHeader);
  }

  FakeService service;
  ZEBObjectRegistry registry;
  Capabilities capabilities = {ZEBUserCapabilityEnum::canMoveData};
};

// The live query suite reads the capabilities of real accounts; here, the query sent and when a
// new header comes back.
TEST_F(CapabilitiesTest, AsksForTheSessionsCapabilitiesAndRenewsTheHeaderOnlyForADifferentPassport) {
  answer(true);
  EXPECT_EQ(run("passport-new"), nullptr);
  EXPECT_EQ(capabilities,
            (Capabilities{ZEBUserCapabilityEnum::canReadContent, ZEBUserCapabilityEnum::canWriteContent}));
  auto message = service.lastRequestMessage();
  auto& sent = static_cast<ZEBContentQuery_Request&>(*message);
  EXPECT_STREQ(sent.getSearchPath()->getValue(), "~~");
  ASSERT_EQ(sent.getProperties()->size(), 1u);
  EXPECT_EQ(sent.getProperties()->at(0)->getValue(), ZEBPropEnum::userCapabilities);
  // The caller's header is only compared, never sent.
  EXPECT_EQ(service.last().envelope.find("passport"), std::string::npos);

  std::unique_ptr<ZEBVorbHeader> renewed = run("passport-old");
  ASSERT_NE(renewed, nullptr);
  EXPECT_STREQ(renewed->getPassport(), "passport-new");
  answer(false);
  EXPECT_EQ(run("passport-old"), nullptr);
  answer(true, nullptr);
  EXPECT_EQ(run("passport-old"), nullptr);
}

}  // namespace
