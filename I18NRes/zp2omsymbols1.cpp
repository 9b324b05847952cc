#include "zp2omsymbols1.h"

#include <atomic>

#include "KRNError.h"
#include "KRNThread.h"

// zp2omsymbols1_CharArray, zp2omsymbols1_IdArray and zp2omsymbols1_Count, written by the schema
// generator from the service schema.
#include "zp2omsymbols1_data.inc"

namespace {

// Entries are published with a release store under the lock and read with an acquire load, so the
// unlocked first test of the double check never sees a half-built string.
std::atomic<I18NString*> zp2omsymbols1_StringArray[zp2omsymbols1_Count];

KRNThreadCriticalSection g_symbolCacheLock(0);
zp2omsymbols1 g_symbolTable;

unsigned int lookupIndex(unsigned int id) {
  unsigned int low = 1, high = zp2omsymbols1_Count;
  while (high >= low) {
    unsigned int mid = (low + high) / 2;
    const zp2omsymbols1_IdEntry& entry = zp2omsymbols1_IdArray[mid - 1];
    if (entry.id == id) return entry.index;
    if (entry.id < id) {
      low = mid + 1;
    } else {
      high = mid - 1;
    }
  }
  KRN::raiseAssert("../I18NRes/zp2omsymbols1", 2432,
                   "KRN_ASSERT_NAMED(end >= start, \"Resource lookup failed.\");");
}

}  // namespace

const char* zp2omsymbols1::getChar(unsigned int id) { return zp2omsymbols1_CharArray[lookupIndex(id)]; }

const I18NString& zp2omsymbols1::getString(unsigned int id) {
  unsigned int index = lookupIndex(id);
  if (I18NString* cached = zp2omsymbols1_StringArray[index].load(std::memory_order_acquire)) return *cached;

  KRNThreadGuard guard(g_symbolCacheLock);
  I18NString* entry = zp2omsymbols1_StringArray[index].load(std::memory_order_relaxed);
  if (entry == nullptr) {
    if (g_symbolTable.getRegistered() == 0) KRNResetableResourceRegistry::getInstance().registerResource(&g_symbolTable);
    KRN_ASSERT_AT(zp2omsymbols1_CharArray[index], "../I18NRes/zp2omsymbols1", 7230,
                  "KRN_ASSERT(zp2omsymbols1_CharArray[id]);");
    entry = new I18NString(zp2omsymbols1_CharArray[index], nullptr, -1, nullptr, nullptr);
    zp2omsymbols1_StringArray[index].store(entry, std::memory_order_release);
  }
  return *entry;
}

void zp2omsymbols1::reset() {
  for (auto& slot : zp2omsymbols1_StringArray) delete slot.exchange(nullptr, std::memory_order_acq_rel);
}

unsigned int zp2omsymbols1::getCount() { return zp2omsymbols1_Count; }

unsigned int zp2omsymbols1::getIdAt(unsigned int position) { return zp2omsymbols1_IdArray[position].id; }

// ---- fixed-string table ----

namespace {

const char* const g_fixedTexts[DVLFixedStrings::count] = {
    "/*[@name='",
    "']",
    "storeID(\"",
    "\")",
    "~~",
    "read",
    "contentManager",
    "contentManagers",
    "http://dvl.example.org/schemas/zpconfig/1/",
    "item",
    "",
    "value",
    "xsi:type",
    "xsd:string",
};

std::atomic<I18NString*> g_fixedStrings[DVLFixedStrings::count];
KRNThreadCriticalSection g_fixedStringLock(0);

}  // namespace

const char* DVLFixedStrings::getText(int i) { return g_fixedTexts[i]; }

const I18NString& DVLFixedStrings::getString(int i) {
  if (I18NString* cached = g_fixedStrings[i].load(std::memory_order_acquire)) return *cached;
  KRNThreadGuard guard(g_fixedStringLock);
  I18NString* entry = g_fixedStrings[i].load(std::memory_order_relaxed);
  if (entry == nullptr) {
    entry = new I18NString(g_fixedTexts[i], nullptr, -1, nullptr, nullptr);
    g_fixedStrings[i].store(entry, std::memory_order_release);
  }
  return *entry;
}
