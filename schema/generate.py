#!/usr/bin/env python3
"""Generates the toolkit's schema classes, the symbol table and the WSDL from the service schema.

usage: generate.py SCHEMA OUTDIR

Writes into OUTDIR:
  ZEBSchema.h, ZEBSchema.cpp       the value classes, arrays, enumerations and messages
  zp2omsymbols1_data.inc           the symbol names and their CRC-32 identifiers, sorted
  content-store.wsdl               WSDL 1.1 with the XSD of every type and message

The schema language is described in docs/schema.md.
"""

import os
import re
import sys
import zlib

SCALARS = {"string", "int", "long", "bool", "streamable"}
PORTS = ["ContentManagerService", "MonitorService", "ContentManagerCacheService", "SaAXMService"]
CPP_KEYWORDS = {
    "alignas", "alignof", "and", "asm", "auto", "bool", "break", "case", "catch", "char", "class",
    "const", "continue", "default", "delete", "do", "double", "else", "enum", "explicit", "export",
    "extern", "false", "float", "for", "friend", "goto", "if", "inline", "int", "long", "mutable",
    "namespace", "new", "not", "operator", "or", "private", "protected", "public", "register",
    "return", "short", "signed", "sizeof", "static", "struct", "switch", "template", "this", "throw",
    "true", "try", "typedef", "typeid", "typename", "union", "unsigned", "using", "virtual", "void",
    "volatile", "while", "xor", "NULL", "EOF", "TRUE", "FALSE", "DELETE", "IN", "OUT", "ERROR",
}


class SchemaError(Exception):
    pass


def crc(text):
    return zlib.crc32(text.encode("utf-8")) & 0xFFFFFFFF


def symbol_of_type(name):
    """A type's schema name: lower camel case, but abbreviations (two leading capitals) stay."""
    if len(name) > 1 and name[0].isupper() and name[1].isupper():
        return name
    return name[0].lower() + name[1:]


def upper_first(name):
    return name[0].upper() + name[1:]


class Field:
    def __init__(self, name, type_name, byvalue, line):
        self.name, self.type_name, self.byvalue, self.line = name, type_name, byvalue, line
        self.type = None  # resolved Type, or None for scalars

    @property
    def kind(self):
        if self.type_name in SCALARS:
            # An attachment reference travels as its "cid:" text.
            return {"string": "String", "int": "Int", "long": "Long", "bool": "Bool",
                    "streamable": "String"}[self.type_name]
        return "Embedded" if self.byvalue else "Object"


class Type:
    def __init__(self, kind, name, line):
        self.kind, self.name, self.line = kind, name, line
        self.fields = []          # own fields
        self.values = []          # enum values
        self.base_name = None
        self.base = None
        self.abstract = False
        self.element_name = None  # arrays
        self.element = None
        self.port = None          # requests
        self.operation = None
        self.request = None       # replies: their request Type
        self.attachments = False  # requests and replies: may travel with documents as MIME parts
        self.subclasses = []

    @property
    def cpp(self):
        if self.kind == "request":
            return "ZEB%s_Request" % self.name
        if self.kind == "reply":
            return "ZEB%s_Reply" % self.name
        return "ZEB" + self.name

    @property
    def symbol(self):
        if self.kind == "request":
            return self.operation
        if self.kind == "reply":
            return self.request.operation + "Response"
        return symbol_of_type(self.name)

    def all_fields(self):
        return (self.base.all_fields() if self.base else []) + self.fields

    def is_polymorphic(self):
        return bool(self.subclasses)

    def descendants(self):
        out = []
        for s in self.subclasses:
            out.append(s)
            out.extend(s.descendants())
        return out


def parse(path):
    types, order = {}, []
    namespace = None
    current = None
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    for number, raw in enumerate(lines, 1):
        text = raw.split("#", 1)[0].rstrip() if not raw.lstrip().startswith("namespace") else raw.rstrip()
        if not text.strip():
            continue
        where = "%s:%d" % (path, number)
        if text.startswith("  "):
            if current is None:
                raise SchemaError("%s: member outside a declaration" % where)
            words = text.split()
            if current.kind == "enum":
                if len(words) != 1:
                    raise SchemaError("%s: an enumeration member is one name" % where)
                current.values.append(words[0])
                continue
            if len(words) not in (2, 3) or (len(words) == 3 and words[2] != "byvalue"):
                raise SchemaError("%s: expected 'name Type [byvalue]'" % where)
            current.fields.append(Field(words[0], words[1], len(words) == 3, where))
            continue
        words = text.split()
        keyword = words[0]
        if keyword == "namespace":
            namespace = words[1]
            current = None
            continue
        if keyword not in ("enum", "value", "class", "array", "request", "reply", "header"):
            raise SchemaError("%s: unknown declaration '%s'" % (where, keyword))
        if len(words) < 2:
            raise SchemaError("%s: missing name" % where)
        t = Type(keyword, words[1], where)
        rest = words[2:]
        if keyword == "value":
            if len(rest) not in (1, 2) or (len(rest) == 2 and rest[1] != "byvalue"):
                raise SchemaError("%s: expected 'value Name Type [byvalue]'" % where)
            t.fields.append(Field("value", rest[0], len(rest) == 2, where))
        elif keyword in ("class", "header"):
            while rest:
                if rest[0] == "abstract":
                    t.abstract = True
                    rest = rest[1:]
                elif rest[0] == "extends" and len(rest) >= 2:
                    t.base_name = rest[1]
                    rest = rest[2:]
                else:
                    raise SchemaError("%s: unexpected '%s'" % (where, rest[0]))
        elif keyword == "array":
            if len(rest) != 1:
                raise SchemaError("%s: expected 'array Name ElementType'" % where)
            t.element_name = rest[0]
        elif keyword == "request":
            t.attachments = rest[-1:] == ["attachments"]
            rest = rest[:-1] if t.attachments else rest
            if len(rest) != 2 or rest[0] not in PORTS:
                raise SchemaError("%s: expected 'request Name Port operation [attachments]' with a port of %s"
                                  % (where, PORTS))
            t.port, t.operation = rest
        elif keyword == "reply":
            t.attachments = rest == ["attachments"]
            if rest and not t.attachments:
                raise SchemaError("%s: expected 'reply Name [attachments]'" % where)
        elif rest:
            raise SchemaError("%s: unexpected '%s'" % (where, rest[0]))
        key = t.cpp
        if key in types:
            raise SchemaError("%s: %s declared twice (first at %s)" % (where, key, types[key].line))
        types[key] = t
        order.append(t)
        current = t
    if namespace is None:
        raise SchemaError("%s: no namespace line" % path)

    by_name = {t.name: t for t in order if t.kind not in ("request", "reply")}

    def resolve(name, where):
        if name not in by_name:
            raise SchemaError("%s: unknown type '%s'" % (where, name))
        return by_name[name]

    for t in order:
        if t.base_name:
            t.base = resolve(t.base_name, t.line)
            if t.base.kind != "class":
                raise SchemaError("%s: a class can only extend a class" % t.line)
            t.base.subclasses.append(t)
        if t.element_name == "string":
            t.kind = "textarray"
        elif t.element_name:
            t.element = resolve(t.element_name, t.line)
        for fld in t.fields:
            if fld.type_name not in SCALARS:
                fld.type = resolve(fld.type_name, fld.line)
                if fld.type.kind == "header":
                    raise SchemaError("%s: the header is not a field type" % fld.line)
            elif fld.byvalue:
                raise SchemaError("%s: byvalue applies to schema types only" % fld.line)
        if t.kind == "reply":
            req = types.get("ZEB%s_Request" % t.name)
            if req is None:
                raise SchemaError("%s: reply without a request" % t.line)
            t.request = req
        if t.kind == "enum" and not t.values:
            raise SchemaError("%s: empty enumeration" % t.line)
    for t in order:
        if t.kind == "request" and "ZEB%s_Reply" % t.name not in types:
            raise SchemaError("%s: request without a reply" % t.line)
        names = [f.name for f in t.all_fields()]
        if len(names) != len(set(names)):
            raise SchemaError("%s: a field name repeats in %s" % (t.line, t.name))
        if len(names) > 48:  # an object's set-mask keeps its top 16 bits for itself
            raise SchemaError("%s: more than 48 fields" % t.line)
    for t in order:
        if t.kind not in ("request", "reply") and t.symbol == DOCUMENT_TYPE:
            raise SchemaError("%s: '%s' is the name the WSDL gives to document bytes" % (t.line, DOCUMENT_TYPE))
    headers = [t for t in order if t.kind == "header"]
    if len(headers) != 1:
        raise SchemaError("the schema needs exactly one header declaration")
    return namespace, order


def symbols(order):
    names = set()
    for t in order:
        names.add(t.symbol)
        for fld in t.fields:
            names.add(fld.name)
        names.update(t.values)
    by_id = {}
    for n in sorted(names):
        if len(n) > 112 or not n.isascii():
            raise SchemaError("symbol '%s' is longer than 112 characters or not ASCII" % n)
        i = crc(n)
        if i in by_id:
            raise SchemaError("symbols '%s' and '%s' share the identifier 0x%08X" % (by_id[i], n, i))
        by_id[i] = n
    return sorted(names)


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def write_if_changed(path, text):
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def banner(schema_name, comment="//"):
    return "%s Generated from schema/%s by schema/generate.py - do not edit.\n" % (comment, schema_name)


def gen_symbols(schema_name, names):
    out = [banner(schema_name), "// Included once, by zp2omsymbols1.cpp.\n\n"]
    out.append("static const unsigned int zp2omsymbols1_Count = %d;\n\n" % len(names))
    out.append("static const char* const zp2omsymbols1_CharArray[%d] = {\n" % len(names))
    for n in names:
        out.append("    %s,\n" % c_string(n))
    out.append("};\n\n")
    out.append("struct zp2omsymbols1_IdEntry {\n  unsigned int id;\n  unsigned int index;\n};\n\n")
    out.append("static const zp2omsymbols1_IdEntry zp2omsymbols1_IdArray[%d] = {\n" % len(names))
    for i, n in sorted((crc(n), k) for k, n in enumerate(names)):
        out.append("    {0x%08Xu, %du},  // %s\n" % (i, n, names[n]))
    out.append("};\n")
    return "".join(out)


def enumerator(value):
    return value + "_" if value in CPP_KEYWORDS else value


def ordered(order):
    """Types ordered so that every base class comes before its subclasses."""
    done, out = set(), []

    def visit(t):
        if t.cpp in done:
            return
        if t.base:
            visit(t.base)
        done.add(t.cpp)
        out.append(t)

    for t in order:
        visit(t)
    return out


def field_accessors(t, index, fld):
    """(declarations, definitions) of one field's accessors. Definitions come after every class,
    so that a field may name a type declared later (the schema has cycles)."""
    acc = upper_first(fld.name)
    getter = "getValue" if t.kind == "value" else "get" + acc
    setter = "setValue" if t.kind == "value" else "set" + acc
    c = t.cpp
    k = fld.kind
    decls, defs = [], []
    what = "the value" if t.kind == "value" else "the `%s` field" % fld.name

    def add(doc, decl, qualified, body):
        decls.append("  /// %s" % doc)
        decls.append("  %s;" % decl)
        defs.append("inline %s { %s }" % (qualified, body))

    if k == "String":
        add("Text of %s; null when unset." % what, "const char* %s() const" % getter,
            "const char* %s::%s() const" % (c, getter), "return stringField(%d);" % index)
        add("Sets %s to a copy of the text; null unsets it." % what, "void %s(const char* value)" % setter,
            "void %s::%s(const char* value)" % (c, setter), "setStringField(%d, value);" % index)
    elif k in ("Int", "Long", "Bool"):
        ctype = {"Int": "int", "Long": "long long", "Bool": "bool"}[k]
        add("%s, changeable in place; null when unset." % upper_first(what), "%s* %s()" % (ctype, getter),
            "%s* %s::%s()" % (ctype, c, getter), "return numberField<%s>(%d);" % (ctype, index))
        add("%s; null when unset." % upper_first(what), "const %s* %s() const" % (ctype, getter),
            "const %s* %s::%s() const" % (ctype, c, getter), "return numberField<%s>(%d);" % (ctype, index))
        add("Sets %s." % what, "void %s(%s value)" % (setter, ctype),
            "void %s::%s(%s value)" % (c, setter, ctype), "setNumberField<%s>(%d, value);" % (ctype, index))
    elif k == "Embedded":
        f = fld.type.cpp
        add("%s, part of this object." % upper_first(what), "%s& %s()" % (f, getter),
            "%s& %s::%s()" % (f, c, getter), "return static_cast<%s&>(embeddedObject(%d));" % (f, index))
        add("%s, part of this object." % upper_first(what), "const %s& %s() const" % (f, getter),
            "const %s& %s::%s() const" % (f, c, getter),
            "return static_cast<%s&>(const_cast<%s*>(this)->embeddedObject(%d));" % (f, c, index))
    else:
        f = fld.type.cpp
        add("%s; with a registry, an absent one is created and handed to it." % upper_first(what),
            "%s* %s(ZEBObjectRegistryI* registry = nullptr)" % (f, getter),
            "%s* %s::%s(ZEBObjectRegistryI* registry)" % (f, c, getter),
            "return static_cast<%s*>(objectFieldRaw(%d, registry));" % (f, index))
        add("%s; null when unset." % upper_first(what), "%s* %s(ZEBObjectRegistryI* registry = nullptr) const" % (f, getter),
            "%s* %s::%s(ZEBObjectRegistryI*) const" % (f, c, getter),
            "return static_cast<%s*>(static_cast<ZEBObject*>(slot(%d).ptr));" % (f, index))
        add("Points %s at value, which it does not own; null unsets it." % what, "void %s(%s* value)" % (setter, f),
            "void %s::%s(%s* value)" % (c, setter, f), "setObjectField(%d, value);" % index)
    return decls, defs


def type_brief(t):
    """One line saying what a generated class stands for on the wire."""
    if t.kind == "request":
        return "Request of the `%s` operation, sent to the %s." % (t.operation, t.port)
    if t.kind == "reply":
        return "Reply of the `%s` operation." % t.request.operation
    if t.kind == "enum":
        return "Schema enumeration `%s`; a value is the CRC-32 of its name." % t.symbol
    if t.kind == "textarray":
        return "Schema array `%s` of texts, each copied in." % t.symbol
    if t.kind == "array":
        return "Schema array `%s` of `%s` objects, which it does not own." % (t.symbol, t.element.symbol)
    if t.kind == "header":
        return "The SOAP header of every message (`%s`)." % t.symbol
    if t.kind == "value":
        return "Schema value `%s`: one value as the element's content." % t.symbol
    return "Schema %stype `%s`." % ("abstract " if t.abstract else "", t.symbol)


def gen_header(schema_name, namespace, order):
    out = [banner(schema_name)]
    out.append("/// \\file\n/// The service schema's value classes, arrays, enumerations and messages.\n")
    out.append("#pragma once\n\n#include <cstdint>\n\n#include \"ZEBObject.h\"\n\n")
    out.append("/// The XML namespace of the service.\n")
    out.append("#define ZEB_SCHEMA_NAMESPACE %s\n\n" % c_string(namespace))
    for t in ordered(order):
        out.append("class %s;\n" % t.cpp)
    out.append("\n")
    definitions = []
    type_info = "  /// What the serializer and the parser know of the type.\n  static const ZEBTypeInfo typeInfo;\n"
    for t in ordered(order):
        fields = t.all_fields()
        out.append("/// %s\n" % type_brief(t))
        if t.kind == "enum":
            out.append("class ZEB_EXPORT %s : public ZEBEnumObject {\n public:\n" % t.cpp)
            out.append("  /// The names, as numbers.\n  enum Enum : uint32_t {\n")
            for v in t.values:
                out.append("    %s = 0x%08Xu,\n" % (enumerator(v), crc(v)))
            out.append("  };\n")
            out.append(type_info)
            out.append("  /// Unset.\n  %s() : ZEBEnumObject(typeInfo) {}\n" % t.cpp)
            out.append("  /// Set to value.\n")
            out.append("  explicit %s(Enum value) : ZEBEnumObject(typeInfo) { setValue(value); }\n" % t.cpp)
            out.append("  /// Sets the value.\n  void setValue(Enum value) { setRawValue(value); }\n")
            out.append("  /// The value; check isSet() first.\n")
            out.append("  Enum getValue() const { return static_cast<Enum>(getRawValue()); }\n")
            out.append("};\n\n")
            continue
        if t.kind == "textarray":
            out.append("class ZEB_EXPORT %s : public ZEBTextArrayObject {\n public:\n" % t.cpp)
            out.append(type_info)
            out.append("  /// Empty.\n  %s() : ZEBTextArrayObject(typeInfo) {}\n" % t.cpp)
            out.append("};\n\n")
            continue
        if t.kind == "array":
            e = t.element.cpp
            out.append("class ZEB_EXPORT %s : public ZEBArrayObject {\n public:\n" % t.cpp)
            out.append(type_info)
            out.append("  /// Empty.\n  %s() : ZEBArrayObject(typeInfo) {}\n" % t.cpp)
            out.append("  /// Appends item, which the array does not own; null is kept as a nil element.\n")
            out.append("  void push_back(%s* item);\n" % e)
            out.append("  /// The element at index; null past the end.\n")
            out.append("  %s* at(size_t index) const;\n" % e)
            out.append("  /// Appends a deep copy of every element of source; the copies go to registry.\n")
            out.append("  void copy(const %s& source, ZEBObjectRegistryI* registry) { copyItems(source, registry); }\n"
                       % t.cpp)
            out.append("};\n\n")
            definitions.append("inline void %s::push_back(%s* item) { pushItem(item); }" % (t.cpp, e))
            definitions.append("inline %s* %s::at(size_t index) const { return static_cast<%s*>(item(index)); }"
                               % (e, t.cpp, e))
            continue
        base = {"request": "ZEBMessageI", "reply": "ZEBMessageI"}.get(t.kind)
        if base is None:
            base = t.base.cpp if t.base else "ZEBObject"
        out.append("class ZEB_EXPORT %s : public %s {\n public:\n" % (t.cpp, base))
        out.append(type_info)
        if not t.abstract:
            out.append("  /// With every field unset.\n  %s() : %s(typeInfo) {}\n" % (t.cpp, base))
            if t.kind != "request" and t.kind != "reply":
                out.append("  /// A deep copy; every object it makes goes to registry.\n")
                out.append("  %s(const %s& other, ZEBObjectRegistryI& registry) : %s(typeInfo) "
                           "{ copyFieldsFrom(other, registry); }\n" % (t.cpp, t.cpp, base))
        start = len(t.base.all_fields()) if t.base else 0
        for i, fld in enumerate(fields[start:], start):
            decls, defs = field_accessors(t, i, fld)
            out.extend(line + "\n" for line in decls)
            definitions.extend(defs)
        if t.kind not in ("request", "reply"):
            if not t.abstract:
                out.append("  /// Constructs one in memory with slots as its slot array (ZEBObjectRegistry::placeObject).\n")
                out.append("  static ZEBObject* place(void* memory, ZEBSlot* slots);\n")
        out.append("\n protected:\n  /// For a subclass, which passes its own type.\n")
        out.append("  explicit %s(const ZEBTypeInfo& type) : %s(type) {}\n" % (t.cpp, base))
        if t.kind not in ("request", "reply"):
            out.append("  /// For a subclass placed in a registry's arena, with its slot array there.\n")
            out.append("  %s(const ZEBTypeInfo& type, ZEBSlot* slots) : %s(type, slots) {}\n" % (t.cpp, base))
        out.append("};\n\n")
    out.append("// Accessors, defined once every class is complete.\n")
    out.extend(d + "\n" for d in definitions)
    out.append("\n/// Every type of the schema, for lookups by name; count receives their number.\n")
    out.append("ZEB_EXPORT const ZEBTypeInfo* const* ZEBSchemaTypes(size_t* count);\n")
    return "".join(out)


def gen_source(schema_name, order):
    out = [banner(schema_name), "#include \"ZEBSchema.h\"\n\n#include <new>\n\n"]
    out.append("namespace {\n\n")
    for t in ordered(order):
        n = t.cpp
        if t.kind == "enum":
            vals = sorted((crc(v), v) for v in t.values)
            out.append("const ZEBEnumValue k%s_values[] = {\n" % n)
            for i, v in vals:
                out.append("    {%s, 0x%08Xu},\n" % (c_string(v), i))
            out.append("};\n")
        fields = t.all_fields()
        if fields:
            out.append("const ZEBFieldInfo k%s_fields[] = {\n" % n)
            for fld in fields:
                ti = "&%s::typeInfo" % fld.type.cpp if fld.type else "nullptr"
                out.append("    {%s, 0x%08Xu, ZEBFieldKind::%s, %d, %s},\n"
                           % (c_string(fld.name), crc(fld.name), fld.kind, len(fld.name.encode()), ti))
            out.append("};\n")
        if t.is_polymorphic():
            subs = t.descendants()
            out.append("const ZEBTypeInfo* const k%s_subtypes[] = {\n" % n)
            for s in subs:
                out.append("    &%s::typeInfo,\n" % s.cpp)
            out.append("};\n")
        if not t.abstract:
            out.append("ZEBObject* create%s() { return new %s; }\n" % (n, n))
            if t.kind in ("enum", "array", "textarray"):
                out.append("ZEBObject* place%s(void* memory, ZEBSlot*) { return new (memory) %s; }\n" % (n, n))
        out.append("\n")
    out.append("}  // namespace\n\n")
    for t in ordered(order):
        if not t.abstract and t.kind in ("value", "class", "header"):
            out.append("ZEBObject* %s::place(void* memory, ZEBSlot* slots) { return new (memory) %s(typeInfo, slots); }\n"
                       % (t.cpp, t.cpp))
    out.append("\n// What the reader places in a registry's arena must fit its alignment.\n")
    for t in ordered(order):
        if not t.abstract and t.kind not in ("request", "reply"):
            out.append("static_assert(alignof(%s) <= ZEBArena::kAlign);\n" % t.cpp)
    out.append("\n")
    kinds = {"enum": "Enum", "value": "Value", "class": "Class", "array": "Array", "request": "Request",
             "reply": "Reply", "header": "Class", "textarray": "TextArray"}
    for t in ordered(order):
        n = t.cpp
        fields = t.all_fields()
        port = c_string(t.port) if t.port else (c_string(t.request.port) if t.request else "nullptr")
        op = c_string(t.operation) if t.operation else (c_string(t.request.operation) if t.request else "nullptr")
        nsub = len(t.descendants()) if t.is_polymorphic() else 0
        out.append("const ZEBTypeInfo %s::typeInfo = {\n" % n)
        out.append("    %s, %s, 0x%08Xu, ZEBTypeKind::%s, %s, %s,\n"
                   % (c_string(n), c_string(t.symbol), crc(t.symbol), kinds[t.kind],
                      "&%s::typeInfo" % t.base.cpp if t.base else "nullptr",
                      "true" if t.abstract else "false"))
        out.append("    %s, %d,\n" % ("k%s_fields" % n if fields else "nullptr", len(fields)))
        out.append("    %s,\n" % ("&%s::typeInfo" % t.element.cpp if t.element else "nullptr"))
        out.append("    %s, %d,\n" % ("k%s_values" % n if t.kind == "enum" else "nullptr", len(t.values)))
        out.append("    %s, %d,\n" % ("k%s_subtypes" % n if nsub else "nullptr", nsub))
        out.append("    %s,\n" % ("nullptr" if t.abstract else "create%s" % n))
        out.append("    %s, %s,\n" % (port, op))
        if t.abstract or t.kind in ("request", "reply"):
            out.append("    0, nullptr,\n};\n\n")
        elif t.kind in ("enum", "array", "textarray"):
            out.append("    sizeof(%s), place%s,\n};\n\n" % (n, n))
        else:
            out.append("    sizeof(%s), %s::place,\n};\n\n" % (n, n))
    out.append("namespace {\nconst ZEBTypeInfo* const kAllTypes[] = {\n")
    for t in ordered(order):
        out.append("    &%s::typeInfo,\n" % t.cpp)
    out.append("};\n}  // namespace\n\n")
    out.append("const ZEBTypeInfo* const* ZEBSchemaTypes(size_t* count) {\n")
    out.append("  *count = sizeof kAllTypes / sizeof kAllTypes[0];\n  return kAllTypes;\n}\n")
    return "".join(out)


XSD_SCALAR = {"string": "xsd:string", "int": "xsd:int", "long": "xsd:long", "bool": "xsd:boolean",
              "streamable": "xsd:string"}

# Documents travel as MIME parts after the envelope (SOAP with Attachments), each referred to from
# the body by "cid:" text. The WSDL declares their bytes with this binary type and binds a
# "documents" part of it to a MIME part, so that a toolkit generating a client sees the
# attachments; the body's types, and so what travels, stay as they are.
DOCUMENT_TYPE = "documentData"
DOCUMENT_PART = "documents"
DOCUMENT_MEDIA_TYPE = "application/octet-stream"


def gen_wsdl(schema_name, namespace, order):
    x = []
    w = x.append
    w('<?xml version="1.0" encoding="UTF-8"?>\n')
    w("<!-- %s -->\n" % banner(schema_name, "").strip())
    w('<wsdl:definitions xmlns:wsdl="http://schemas.xmlsoap.org/wsdl/"\n'
      '    xmlns:soap="http://schemas.xmlsoap.org/wsdl/soap/"\n'
      '    xmlns:mime="http://schemas.xmlsoap.org/wsdl/mime/"\n'
      '    xmlns:xsd="http://www.w3.org/2001/XMLSchema"\n'
      '    xmlns:dvl="%s" targetNamespace="%s" name="ContentStore">\n' % (namespace, namespace))
    w('  <wsdl:types>\n    <xsd:schema targetNamespace="%s" elementFormDefault="qualified">\n' % namespace)
    types_start = len(x)

    def field_elements(fields, indent):
        s = []
        for f in fields:
            if f.type is None:
                typ = XSD_SCALAR[f.type_name]
            else:
                typ = "dvl:" + f.type.symbol
            nillable = ' nillable="true"' if f.type is not None else ""
            s.append('%s<xsd:element name="%s" type="%s" minOccurs="0"%s/>\n' % (indent, f.name, typ, nillable))
        return "".join(s)

    for t in ordered(order):
        if t.kind == "enum":
            w('      <xsd:simpleType name="%s">\n        <xsd:restriction base="xsd:string">\n' % t.symbol)
            for v in t.values:
                w('          <xsd:enumeration value="%s"/>\n' % v)
            w("        </xsd:restriction>\n      </xsd:simpleType>\n")
        elif t.kind == "textarray":
            w('      <xsd:complexType name="%s">\n        <xsd:sequence>\n' % t.symbol)
            w('          <xsd:element name="item" type="xsd:string" minOccurs="0" maxOccurs="unbounded"/>\n')
            w("        </xsd:sequence>\n      </xsd:complexType>\n")
        elif t.kind == "array":
            w('      <xsd:complexType name="%s">\n        <xsd:sequence>\n' % t.symbol)
            w('          <xsd:element name="item" type="dvl:%s" minOccurs="0" maxOccurs="unbounded"'
              ' nillable="true"/>\n' % t.element.symbol)
            w("        </xsd:sequence>\n      </xsd:complexType>\n")
        elif t.kind == "value":
            f = t.fields[0]
            if f.type is None or f.type.kind == "enum":
                base = XSD_SCALAR[f.type_name] if f.type is None else "dvl:" + f.type.symbol
                w('      <xsd:complexType name="%s">\n        <xsd:simpleContent>\n'
                  '          <xsd:extension base="%s"/>\n        </xsd:simpleContent>\n'
                  '      </xsd:complexType>\n' % (t.symbol, base))
            elif f.type.kind == "value" and (f.type.fields[0].type is None or f.type.fields[0].type.kind == "enum"):
                w('      <xsd:complexType name="%s">\n        <xsd:simpleContent>\n'
                  '          <xsd:extension base="dvl:%s"/>\n        </xsd:simpleContent>\n'
                  '      </xsd:complexType>\n' % (t.symbol, f.type.symbol))
            elif f.type.kind == "value":
                raise SchemaError("%s: a value may hold a value type only when that one is simple" % t.line)
            else:
                w('      <xsd:complexType name="%s">\n        <xsd:complexContent>\n'
                  '          <xsd:extension base="dvl:%s"/>\n        </xsd:complexContent>\n'
                  '      </xsd:complexType>\n' % (t.symbol, f.type.symbol))
        elif t.kind in ("class", "header"):
            abstract = ' abstract="true"' if t.abstract else ""
            w('      <xsd:complexType name="%s"%s>\n' % (t.symbol, abstract))
            if t.base:
                w('        <xsd:complexContent>\n          <xsd:extension base="dvl:%s">\n'
                  '            <xsd:sequence>\n' % t.base.symbol)
                w(field_elements(t.fields, "              "))
                w("            </xsd:sequence>\n          </xsd:extension>\n        </xsd:complexContent>\n")
            else:
                w("        <xsd:sequence>\n")
                w(field_elements(t.fields, "          "))
                w("        </xsd:sequence>\n")
            w("      </xsd:complexType>\n")
        else:
            w('      <xsd:element name="%s">\n        <xsd:complexType>\n          <xsd:sequence>\n' % t.symbol)
            w(field_elements(t.fields, "            "))
            w("          </xsd:sequence>\n        </xsd:complexType>\n      </xsd:element>\n")
    header = [t for t in order if t.kind == "header"][0]
    w('      <xsd:element name="%s" type="dvl:%s"/>\n' % (header.symbol, header.symbol))
    w('      <xsd:simpleType name="%s">\n        <xsd:annotation>\n          <xsd:documentation>The bytes of'
      ' one document, sent as a MIME part of its own and referred to from the body as "cid:" followed by'
      ' the part\'s Content-ID.</xsd:documentation>\n        </xsd:annotation>\n'
      '        <xsd:restriction base="xsd:base64Binary"/>\n      </xsd:simpleType>\n' % DOCUMENT_TYPE)
    xsd_body = "".join(x[types_start:])
    w("    </xsd:schema>\n  </wsdl:types>\n")

    requests = [t for t in order if t.kind == "request"]
    w('  <wsdl:message name="header">\n    <wsdl:part name="header" element="dvl:%s"/>\n  </wsdl:message>\n'
      % header.symbol)
    replies = {t.request.cpp: t for t in order if t.kind == "reply"}

    def documents_part(message):
        return ('    <wsdl:part name="%s" type="dvl:%s"/>\n' % (DOCUMENT_PART, DOCUMENT_TYPE)
                if message.attachments else "")

    for t in requests:
        w('  <wsdl:message name="%sRequest">\n    <wsdl:part name="parameters" element="dvl:%s"/>\n%s'
          '  </wsdl:message>\n' % (t.operation, t.operation, documents_part(t)))
        w('  <wsdl:message name="%sResponse">\n    <wsdl:part name="parameters" element="dvl:%sResponse"/>\n%s'
          '  </wsdl:message>\n' % (t.operation, t.operation, documents_part(replies[t.cpp])))
    for port in PORTS:
        ops = [t for t in requests if t.port == port]
        if not ops:
            continue
        w('  <wsdl:portType name="%sPortType">\n' % port)
        for t in ops:
            w('    <wsdl:operation name="%s">\n      <wsdl:input message="dvl:%sRequest"/>\n'
              '      <wsdl:output message="dvl:%sResponse"/>\n    </wsdl:operation>\n'
              % (t.operation, t.operation, t.operation))
        w("  </wsdl:portType>\n")
        w('  <wsdl:binding name="%sBinding" type="dvl:%sPortType">\n' % (port, port))
        w('    <soap:binding style="document" transport="http://schemas.xmlsoap.org/soap/http"/>\n')
        for t in ops:
            w('    <wsdl:operation name="%s">\n      <soap:operation soapAction="%s%s"/>\n'
              % (t.operation, namespace, t.operation))
            for io, message in (("input", t), ("output", replies[t.cpp])):
                if not message.attachments:
                    w('      <wsdl:%s>\n        <soap:body use="literal"/>\n'
                      '        <soap:header message="dvl:header" part="header" use="literal"/>\n'
                      '      </wsdl:%s>\n' % (io, io))
                    continue
                # The envelope is the root part; each document the body refers to follows as a part
                # of its own. Without documents the message is the plain envelope.
                w('      <wsdl:%s>\n        <mime:multipartRelated>\n          <mime:part>\n'
                  '            <soap:body parts="parameters" use="literal"/>\n'
                  '            <soap:header message="dvl:header" part="header" use="literal"/>\n'
                  '          </mime:part>\n          <mime:part>\n'
                  '            <mime:content part="%s" type="%s"/>\n          </mime:part>\n'
                  '        </mime:multipartRelated>\n      </wsdl:%s>\n'
                  % (io, DOCUMENT_PART, DOCUMENT_MEDIA_TYPE, io))
            w("    </wsdl:operation>\n")
        w("  </wsdl:binding>\n")
    w('  <wsdl:service name="ContentStore">\n')
    for port in PORTS:
        if any(t.port == port for t in requests):
            w('    <wsdl:port name="%s" binding="dvl:%sBinding">\n'
              '      <soap:address location="http://localhost:9300/dvl"/>\n    </wsdl:port>\n' % (port, port))
    w("  </wsdl:service>\n</wsdl:definitions>\n")
    xsd = ('<?xml version="1.0" encoding="UTF-8"?>\n<!-- %s -->\n'
           '<xsd:schema xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:dvl="%s"\n'
           '    targetNamespace="%s" elementFormDefault="qualified">\n%s</xsd:schema>\n'
           % (banner(schema_name, "").strip(), namespace, namespace, xsd_body))
    return "".join(x), xsd


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    schema, outdir = argv[1], argv[2]
    try:
        namespace, order = parse(schema)
        names = symbols(order)
    except SchemaError as e:
        sys.stderr.write("schema error: %s\n" % e)
        return 1
    schema_name = os.path.basename(schema)
    os.makedirs(outdir, exist_ok=True)
    write_if_changed(os.path.join(outdir, "zp2omsymbols1_data.inc"), gen_symbols(schema_name, names))
    write_if_changed(os.path.join(outdir, "ZEBSchema.h"), gen_header(schema_name, namespace, order))
    write_if_changed(os.path.join(outdir, "ZEBSchema.cpp"), gen_source(schema_name, order))
    wsdl, xsd = gen_wsdl(schema_name, namespace, order)
    write_if_changed(os.path.join(outdir, "content-store.wsdl"), wsdl)
    write_if_changed(os.path.join(outdir, "content-store.xsd"), xsd)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
