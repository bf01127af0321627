# Building plug-in files for the qualvex host. Used by the project itself and, installed with the
# host's package, by anyone who builds a tool of their own against the installed host.
#
#   qualvex_add_plugin(<name> SOURCES <files...> [OUTPUT_DIRECTORY <dir>])
#     A loadable <name>.plugin linked against the host library. Its sources must hold a version
#     record (see host/plugin_version_record.h) and register the tool class from static
#     initialisation. The file exports no functions.
#
#   qualvex_plugin_code(<target>)
#     Compiles <target> (an object library whose code goes into a plug-in) the way plug-in code
#     must be compiled.

# Everything linked into a plug-in is compiled without the global unique table: template statics
# entered there would pin the library in memory, and unloading it would leave it mapped. GCC
# enters them unless told not to; clang never does and has no such option.
function(qualvex_plugin_code target)
  target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()

function(qualvex_add_plugin name)
  cmake_parse_arguments(ARG "" "OUTPUT_DIRECTORY" "SOURCES" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  qualvex_plugin_code(${name})
  target_link_libraries(${name} PRIVATE Qualvex::host)
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".plugin")
  if(ARG_OUTPUT_DIRECTORY)
    set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY})
  endif()
  # Every symbol resolved at link time, unless the program that loads the plug-in brings some
  # (QUALVEX_PLUGIN_RUNTIME_FROM_PROGRAM: builds whose sanitizer runtime lives in the program).
  if(NOT QUALVEX_PLUGIN_RUNTIME_FROM_PROGRAM)
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
