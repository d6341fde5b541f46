# Authenticode signing of hotfix.exe with osslsigncode. Without a signature
# the elevation prompt names an unknown publisher, so a release names its
# certificate here. The password stays in its file: it never appears on a
# command line, where other users could read it.
set(HOTFIX_SIGN_PKCS12 "" CACHE FILEPATH
  "PKCS#12 file with the code-signing certificate, its chain and key; empty: hotfix.exe is not signed")
set(HOTFIX_SIGN_PASSWORD_FILE "" CACHE FILEPATH
  "File whose first line is the PKCS#12 password")
set(HOTFIX_SIGN_TIMESTAMP_URL "" CACHE STRING
  "RFC 3161 time-stamp server for the signature (optional)")
set(HOTFIX_SIGN_DESCRIPTION "" CACHE STRING
  "Program description recorded in the signature (optional)")

# Signs TARGET's program after it is linked, into signed/<name>, through a
# temporary file, so that a failed signing leaves no program behind that
# looks signed. The unsigned program stays where it was, for comparison with
# a rebuild.
function(hotfix_sign_program target)
  if(NOT HOTFIX_SIGN_PKCS12)
    return()
  endif()
  if(NOT HOTFIX_SIGN_PASSWORD_FILE)
    message(FATAL_ERROR "HOTFIX_SIGN_PKCS12 is set but HOTFIX_SIGN_PASSWORD_FILE is not")
  endif()
  foreach(file_var HOTFIX_SIGN_PKCS12 HOTFIX_SIGN_PASSWORD_FILE)
    if(NOT EXISTS "${${file_var}}")
      message(FATAL_ERROR "${file_var}: no such file: ${${file_var}}")
    endif()
  endforeach()
  find_program(HOTFIX_OSSLSIGNCODE osslsigncode REQUIRED)

  set(options -pkcs12 ${HOTFIX_SIGN_PKCS12} -readpass ${HOTFIX_SIGN_PASSWORD_FILE} -h sha256)
  if(HOTFIX_SIGN_DESCRIPTION)
    list(APPEND options -n ${HOTFIX_SIGN_DESCRIPTION})
  endif()
  if(HOTFIX_SIGN_TIMESTAMP_URL)
    list(APPEND options -ts ${HOTFIX_SIGN_TIMESTAMP_URL})
  endif()
  set(signed ${CMAKE_BINARY_DIR}/signed/${target}.exe)
  add_custom_command(
    OUTPUT ${signed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/signed
    COMMAND ${CMAKE_COMMAND} -E rm -f ${signed}.partial
    COMMAND ${HOTFIX_OSSLSIGNCODE} sign ${options} -in $<TARGET_FILE:${target}> -out ${signed}.partial
    COMMAND ${CMAKE_COMMAND} -E rename ${signed}.partial ${signed}
    DEPENDS ${target} ${HOTFIX_SIGN_PKCS12} ${HOTFIX_SIGN_PASSWORD_FILE}
    COMMENT "Signing ${target}"
    VERBATIM)
  add_custom_target(${target}_signed ALL DEPENDS ${signed})
endfunction()
