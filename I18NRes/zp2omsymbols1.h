/// \file
/// The schema symbol table: maps the 32-bit identifiers that the toolkit's enumerations carry (the
/// CRC-32 of a schema name) back to the name, as plain text or as a cached I18NString.
#pragma once

#include "DVLExport.h"
#include "I18NString.h"
#include "KRNResetableResource.h"

/// The symbol table of the service schema: every name by its CRC-32 identifier.
class DVL_EXPORT zp2omsymbols1 : public KRNResetableResource {
 public:
  zp2omsymbols1() = default;
  ~zp2omsymbols1() override = default;
  /// Empties the string cache. Takes no lock: call it only while no lookup runs.
  void reset() override;

  /// The cached string of a symbol, built on first use. An unknown identifier raises KRNAssertError.
  static const I18NString& getString(unsigned int id);
  /// The symbol's name. An unknown identifier raises KRNAssertError.
  static const char* getChar(unsigned int id);

  /// How many symbols the table holds, and the identifier at a position of the sorted table.
  static unsigned int getCount();
  /// The identifier at position of the sorted table.
  static unsigned int getIdAt(unsigned int position);
};

/// The constant texts that search paths and the configuration document are built from.
class DVL_EXPORT DVLFixedStrings {
 public:
  /// The fixed texts, by position.
  enum Index {
    childStepOpen = 0,     ///< "/*[@name='"
    childStepClose = 1,    ///< "']"
    storeIDOpen = 2,       ///< "storeID(\""
    storeIDClose = 3,      ///< "\")"
    sessionPath = 4,       ///< "~~"
    readPermission = 5,    ///< "read"
    contentManager = 6,
    contentManagers = 7,
    configNamespace = 8,   ///< the configuration document's namespace URI
    item = 9,
    empty = 10,
    value = 11,
    xsiType = 12,          ///< "xsi:type"
    xsdString = 13,        ///< "xsd:string"
    count = 14
  };
  /// The text of entry i; i is not checked.
  static const char* getText(int i);
  /// The I18NString of entry i, built on first use and kept until the process ends.
  static const I18NString& getString(int i);
};
