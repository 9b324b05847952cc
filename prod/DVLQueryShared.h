// What the single query and the query elements of a multiple query do alike. Internal to the
// library.
#pragma once

#include <string>

#include "ZEBSchema.h"

// Copies the options' permission and data encoding, and each number the source holds; the reference
// properties are the caller's to copy, into its own registry.
void DVLCopyQueryOptions(const ZEBQueryOptions& from, ZEBQueryOptions& to);

// storeID("<id>"): asserts, at the caller's file and lines, that the identifier is there and holds no
// double quote, which would end the literal early and let the rest be read as path.
std::string DVLStoreIDPath(const char* storeID, const char* file, int nullLine, int quoteLine);

// A sort key on property in order, its three objects handed to registry.
ZEBSort* DVLMakeSortKey(ZEBObjectRegistryI& registry, ZEBPropEnum::Enum property, ZEBOrderEnum::Enum order);
