#include "Kavrel/version_record.h"

#include "kavrel/version.h"

namespace kavrel {

const ModuleVersion& GetModuleVersion() {
  static const ModuleVersion record = {
      {KAVREL_FILE_VERSION_NUMBERS},
      {KAVREL_PRODUCT_VERSION_NUMBERS},
      KAVREL_FILE_VERSION_TEXT,
      KAVREL_PRODUCT_VERSION_TEXT,
      KAVREL_FILE_DESCRIPTION,
      KAVREL_COMMENTS,
      KAVREL_INTERNAL_NAME,
      KAVREL_ORIGINAL_FILENAME,
      KAVREL_VERSION_LANGUAGE,
      KAVREL_VERSION_CODEPAGE,
  };
  return record;
}

}  // namespace kavrel
