/// \file
/// Symbol export of the DVL library.
#pragma once

#include "KRNPlatform.h"

#ifdef dvl_EXPORTS
#define DVL_EXPORT KRN_DECL_EXPORT
#else
#define DVL_EXPORT KRN_DECL_IMPORT
#endif
