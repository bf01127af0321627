# Each layer's headers are reached through a folder of the build tree that links to that layer
# alone, so a target that is not given a layer cannot include it: a forbidden include fails to
# compile instead of creeping in.
#
#   qualvex_layer_include_dir(<layer> <variable>)  sets <variable> to the folder for <layer>
# Builds a target's sources as one file: the program's layers include the same heavy headers
# (OpenImageIO, FFmpeg, nlohmann-json, cpp-httplib) in most of their files, and a fresh build of
# the test command pays for parsing them once per target instead of once per file.
#
#   qualvex_one_file_build(<target>)
function(qualvex_one_file_build target)
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
endfunction()

function(qualvex_layer_include_dir layer variable)
  set(folder ${CMAKE_BINARY_DIR}/layers/${layer})
  if(NOT EXISTS ${folder}/${layer})
    file(MAKE_DIRECTORY ${folder})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${layer} ${folder}/${layer} SYMBOLIC)
  endif()
  set(${variable} ${folder} PARENT_SCOPE)
endfunction()
