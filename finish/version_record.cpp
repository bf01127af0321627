// The library's version record, read by the host from the file before it loads the library.
#include "host/plugin_version_record.h"

namespace {

[[gnu::used, gnu::section(HOST_PLUGIN_VERSION_SECTION)]] const char QualvexFinishVersionRecord[] =
    HOST_PLUGIN_VERSION_MAGIC "\0"
    "#FileVersion\0" "1.0.0.0\0"
    "#ProductVersion\0" "1.0.0.0\0"
    "#Translation\0" "0409 1200\0"
    "FileDescription\0" "Qualvex finishing tool\0"
    "FileVersion\0" "1, 0, 0, 0\0"
    "InternalName\0" "QualvexFinish\0"
    "OriginalFilename\0" "QualvexFinish.plugin\0"
    "ProductName\0" "QualvexFinish\0"
    "ProductVersion\0" "1, 0, 0, 0\0"
    "APIVersion\0" HOST_PLUGIN_API_VERSION "\0";  // the empty key after it closes the record

}  // namespace
