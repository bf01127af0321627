// The version record a plug-in carries in its file. The host reads it from the file before it
// loads the library, so the library needs to export nothing. On ELF platforms the record is a
// section of its own; its bytes are the magic text, then NUL-terminated key and value strings in
// pairs, closed by an empty key. Keys beginning with '#' hold the numeric versions and the
// language and code page of the strings.
#pragma once

#define HOST_PLUGIN_VERSION_SECTION ".plugin.version"
#define HOST_PLUGIN_VERSION_MAGIC "PLUGIN-VERSION-RECORD-1"

// The version of the plug-in interface this host offers; a plug-in's "APIVersion" must match it.
#define HOST_PLUGIN_API_VERSION "7"
