# The patch a hotfix carries and the texts that travel with it. The defaults
# build the sample hotfix; a release engineer points these at their own files.
set(HOTFIX_PATCH "${CMAKE_SOURCE_DIR}/resources/sample/sample.msp" CACHE FILEPATH
  "Windows Installer patch package embedded as MSP/IDR_MSP")
set(HOTFIX_DESCRIPTION "${CMAKE_SOURCE_DIR}/resources/sample/description.txt" CACHE FILEPATH
  "Description block embedded as TXT/206 and appended by /p")
set(HOTFIX_PATCHED_VERSION "5.2.1.0" CACHE STRING
  "Product version after the patch (string 700)")
set(HOTFIX_APPLICABLE_VERSIONS "5.2.0.0," CACHE STRING
  "Installed versions the patch applies to, each followed by a comma (string 900)")

foreach(file_var HOTFIX_PATCH HOTFIX_DESCRIPTION)
  if(NOT EXISTS "${${file_var}}")
    message(FATAL_ERROR "${file_var}: no such file: ${${file_var}}")
  endif()
endforeach()
if(NOT HOTFIX_APPLICABLE_VERSIONS MATCHES ",$")
  message(WARNING "HOTFIX_APPLICABLE_VERSIONS does not end with a comma: its last version is never looked at")
endif()
