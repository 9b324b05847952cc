// The report helper: the session's capabilities through the service, the property list of a
// synchronisation query, and store identifiers read from objects.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "DVLReportHelper.h"
#include "KRNThrowable.h"
#include "support/FakeService.h"

// Reaches the helper's private members, declared a friend by the helper.
struct DVLReportHelperTestAccess {
  static void addSyncProperties(ZEBPropEnumArray& properties, ZEBQueryOptions& options, ZEBPropEnumArray* requested,
                                ZEBObjectRegistryI& registry, int withOwner) {
    DVLReportHelper::addSyncProperties(properties, options, requested, registry, withOwner);
  }
  static void copyCapabilities(const ZEBUserCapabilityEnumArray& source,
                               std::vector<ZEBUserCapabilityEnum::Enum>& capabilities) {
    DVLReportHelper::copyCapabilities(source, capabilities);
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

TEST_F(SyncPropertiesTest, WithoutOwnerAppendsTheTwentyInSignedOrderAndFiltersByRead) {
  DVLReportHelperTestAccess::addSyncProperties(properties, options, nullptr, registry, 0);
  EXPECT_EQ(propsOf(properties), without(ownerOrder, {P::ownerPassport, P::runAsOwner}));
  EXPECT_STREQ(options.getPermission(), "read");
  EXPECT_EQ(registry.size(), 20u);  // every entry made is the registry's
}

TEST_F(SyncPropertiesTest, WithOwnerAppendsTwentyTwoWithTheOwnerPropertiesFourthAndSixth) {
  DVLReportHelperTestAccess::addSyncProperties(properties, options, nullptr, registry, 1);
  EXPECT_EQ(propsOf(properties), ownerOrder);
  EXPECT_EQ(properties.at(3)->getValue(), P::ownerPassport);
  EXPECT_EQ(properties.at(5)->getValue(), P::runAsOwner);
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

TEST(ReportHelperTest, CopyCapabilitiesReplacesTheVectorAndSkipsNullEntries) {
  ZEBUserCapabilityEnumArray source;
  ZEBUserCapabilityEnum read(ZEBUserCapabilityEnum::canReadContent), run(ZEBUserCapabilityEnum::canRunReports);
  source.push_back(&read);
  source.push_back(nullptr);
  source.push_back(&run);
  Capabilities capabilities = {ZEBUserCapabilityEnum::canMoveData};
  DVLReportHelperTestAccess::copyCapabilities(source, capabilities);
  EXPECT_EQ(capabilities, (Capabilities{ZEBUserCapabilityEnum::canReadContent, ZEBUserCapabilityEnum::canRunReports}));
}

TEST(ReportHelperTest, StoreIdentifierIsNullAtAnyMissingStep) {
  ZEBObjectRegistry registry;
  ZEBFolder folder;
  EXPECT_EQ(DVLReportHelper::getStoreID(folder), nullptr);
  ZEBGuidProp property;
  folder.setStoreID(&property);
  EXPECT_EQ(DVLReportHelper::getStoreID(folder), nullptr);
  property.getValue(&registry)->setValue("i5A");
  EXPECT_STREQ(DVLReportHelper::getStoreID(folder), "i5A");
}

// ---- getCapabilities ----

// How the service answers the capability query.
struct SessionReply {
  bool withSession = true;  // else a folder, or nothing at all when empty
  bool emptyResult = false;
  bool withCapabilities = true;
  bool withHeader = true;
  const char* passport = "passport-new";
};

class CapabilitiesTest : public testing::Test {
 protected:
  void answer(SessionReply shape) {
    service.respond([shape](const RecordedRequest&) {
      ZEBContentQuery_Reply reply;
      ZEBObjectRegistryI& registry = reply.getObjectRegistry();
      ZEBBaseClassArray* result = reply.getResult(&registry);
      if (!shape.emptyResult) {
        if (shape.withSession) {
          auto* session = new ZEBSession;
          registry.registerObject(session);
          if (shape.withCapabilities) {
            ZEBUserCapabilityEnumArray& granted = session->getUserCapabilities(&registry)->getValue();
            for (auto value : {ZEBUserCapabilityEnum::canReadContent, ZEBUserCapabilityEnum::canWriteContent}) {
              auto* capability = new ZEBUserCapabilityEnum(value);
              registry.registerObject(capability);
              granted.push_back(capability);
            }
          }
          result->push_back(session);
        } else {
          auto* folder = new ZEBFolder;
          registry.registerObject(folder);
          result->push_back(folder);
        }
      }
      ZEBVorbHeader header;
      header.setClientID("client");
      if (shape.passport) header.setPassport(shape.passport);
      return FakeService::replyOf(reply, shape.withHeader ? &header : nullptr);
    });
  }
  // Runs getCapabilities with a caller header holding ownPassport; returns the new header, if any.
  std::unique_ptr<ZEBVorbHeader> run(const char* ownPassport, bool wantHeader = true) {
    ZEBVorbHeader header;
    if (ownPassport) header.setPassport(ownPassport);
    ZEBVorbHeader* newHeader = nullptr;
    DVLReportHelper::getCapabilities(header, service.session(), capabilities, wantHeader ? &newHeader : nullptr,
                                     wantHeader ? &registry : nullptr);
    return std::unique_ptr<ZEBVorbHeader>(newHeader);
  }
  void expectAssertion(std::function<void()> body, const char* text, int line) {
    try {
      body();
      ADD_FAILURE() << "no assertion";
    } catch (const KRNAssertError& e) {
      EXPECT_STREQ(e.getText(), text);
      EXPECT_STREQ(e.getBackTrace()[0].location.getFile(), "DVLReportHelper");
      EXPECT_EQ(e.getBackTrace()[0].location.getLine(), line);
    }
  }

  FakeService service;
  ZEBObjectRegistry registry;
  Capabilities capabilities = {ZEBUserCapabilityEnum::canMoveData};
};

TEST_F(CapabilitiesTest, AsksForTheSessionsCapabilitiesAndReplacesTheVector) {
  answer({});
  EXPECT_EQ(run("passport-new"), nullptr);
  EXPECT_EQ(capabilities,
            (Capabilities{ZEBUserCapabilityEnum::canReadContent, ZEBUserCapabilityEnum::canWriteContent}));

  EXPECT_EQ(service.last().operation, "query");
  auto message = service.lastRequestMessage();
  auto& sent = static_cast<ZEBContentQuery_Request&>(*message);
  EXPECT_STREQ(sent.getSearchPath()->getValue(), "~~");
  ASSERT_EQ(sent.getProperties()->size(), 1u);
  EXPECT_EQ(sent.getProperties()->at(0)->getValue(), ZEBPropEnum::userCapabilities);
  EXPECT_EQ(sent.getSortBy(), nullptr);
  EXPECT_EQ(sent.getOptions(), nullptr);
  // The caller's header is only compared, never sent.
  EXPECT_EQ(service.last().envelope.find("passport"), std::string::npos);
}

TEST_F(CapabilitiesTest, ANewHeaderComesBackOnlyForADifferentPassport) {
  answer({});
  std::unique_ptr<ZEBVorbHeader> renewed = run("passport-old");
  ASSERT_NE(renewed, nullptr);
  EXPECT_STREQ(renewed->getPassport(), "passport-new");
  EXPECT_NE(run(nullptr), nullptr);  // the caller's header has no passport

  EXPECT_EQ(run("passport-new"), nullptr);
  SessionReply noHeader;
  noHeader.withHeader = false;
  answer(noHeader);
  EXPECT_EQ(run("passport-old"), nullptr);
  SessionReply noPassport;
  noPassport.passport = nullptr;
  answer(noPassport);
  EXPECT_EQ(run("passport-old"), nullptr);
}

TEST_F(CapabilitiesTest, WithoutANewHeaderWantedNoRegistryIsNeeded) {
  answer({});
  EXPECT_EQ(run("passport-old", false), nullptr);
  EXPECT_EQ(capabilities.size(), 2u);
}

TEST_F(CapabilitiesTest, HeaderArgumentsAreCheckedAfterTheServiceCall) {
  answer({});
  ZEBVorbHeader header, existing;
  ZEBVorbHeader* already = &existing;
  const char* text = "KRN_ASSERT(!*pNewHeader && pObjectReg);";
  expectAssertion(
      [&] { DVLReportHelper::getCapabilities(header, service.session(), capabilities, &already, &registry); }, text,
      122);
  ZEBVorbHeader* none = nullptr;
  expectAssertion([&] { DVLReportHelper::getCapabilities(header, service.session(), capabilities, &none, nullptr); },
                  text, 122);
  EXPECT_EQ(service.requests().size(), 2u);
  EXPECT_EQ(capabilities, Capabilities{ZEBUserCapabilityEnum::canMoveData});
}

TEST_F(CapabilitiesTest, RepliesWithoutASessionAreRefused) {
  SessionReply empty;
  empty.emptyResult = true;
  answer(empty);
  expectAssertion([&] { run("p"); }, "KRN_ASSERT(result && result->size() > 0);", 115);
  SessionReply folder;
  folder.withSession = false;
  answer(folder);
  expectAssertion([&] { run("p"); },
                  "KRN_ASSERT_NAMED(session, \"Expected an ZEBSession object, but received something else.\");", 118);
  EXPECT_EQ(capabilities, Capabilities{ZEBUserCapabilityEnum::canMoveData});
}

TEST_F(CapabilitiesTest, ASessionWithoutCapabilitiesGivesAnEmptyVector) {
  SessionReply bare;
  bare.withCapabilities = false;
  answer(bare);
  run("passport-new");
  EXPECT_TRUE(capabilities.empty());
}

}  // namespace
