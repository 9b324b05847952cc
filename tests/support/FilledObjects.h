// Objects of the schema with every field set, and envelopes around a body, for the writer and reader
// tests.
#pragma once

#include <string>
#include <vector>

#include "ZEBObject.h"
#include "ZEBSchema.h"

// Fills an object's every field with distinct values, sub-objects included, down to a depth; an
// abstract type is made as each of its concrete kinds in turn. The texts hold what must be escaped.
inline void fill(ZEBObject& o, ZEBObjectRegistryI& registry, int depth, unsigned& counter) {
  auto make = [&](const ZEBTypeInfo& declared) {
    std::vector<const ZEBTypeInfo*> kinds;
    if (declared.create) kinds.push_back(&declared);
    for (unsigned i = 0; i < declared.subtypeCount; ++i) {
      if (declared.subtypes[i]->create) kinds.push_back(declared.subtypes[i]);
    }
    ZEBObject* made = kinds[counter++ % kinds.size()]->create();
    registry.registerObject(made);
    fill(*made, registry, depth - 1, counter);
    return made;
  };
  const ZEBTypeInfo& type = o.getTypeInfo();
  if (type.kind == ZEBTypeKind::Enum) {
    static_cast<ZEBEnumObject&>(o).setRawValue(type.enumValues[counter++ % type.enumCount].id);
  } else if (type.kind == ZEBTypeKind::Array) {
    for (int i = 0; i < 2 && depth > 0; ++i) static_cast<ZEBArrayObject&>(o).pushItem(make(*type.elementType));
  } else if (type.kind == ZEBTypeKind::TextArray) {
    static_cast<ZEBTextArrayObject&>(o).push_back("first & <one>");
    static_cast<ZEBTextArrayObject&>(o).push_back("");
  }
  for (unsigned i = 0; i < type.fieldCount; ++i) {  // none for enumerations and arrays
    const ZEBFieldInfo& f = type.fields[i];
    std::string text = std::string(f.name) + " <&> \"quoted\" 'single' \xC3\xA9 ]]> " + std::to_string(counter++);
    if (f.kind == ZEBFieldKind::String) o.setStringField(i, text.c_str());
    if (f.kind == ZEBFieldKind::Int) o.setNumberField<int>(i, -42 - static_cast<int>(counter++));
    if (f.kind == ZEBFieldKind::Long) o.setNumberField<long long>(i, (1LL << 40) + counter++);
    if (f.kind == ZEBFieldKind::Bool) o.setNumberField<bool>(i, counter++ % 2 == 0);
    if (f.kind == ZEBFieldKind::Object && depth > 0) o.setObjectField(i, make(*f.type));
    if (f.kind == ZEBFieldKind::Embedded && depth > 0) fill(o.embeddedObject(i), registry, depth - 1, counter);
  }
}

// A SOAP envelope around body, with the prefixes dvl and xsi declared.
inline std::string envelopeWith(const std::string& body) {
  return "<soapenv:Envelope xmlns:soapenv='http://schemas.xmlsoap.org/soap/envelope/' "
         "xmlns:dvl='" ZEB_SCHEMA_NAMESPACE "' xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'>"
         "<soapenv:Body>" + body + "</soapenv:Body></soapenv:Envelope>";
}
