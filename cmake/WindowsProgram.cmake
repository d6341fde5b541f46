# Link settings every Windows program of the project shares: static (no MinGW
# runtime DLLs beside it), Unicode entry point, ASLR with high entropy, DEP,
# no link time in the header, so that a rebuild gives the same bytes, and
# sections aligned in the file as in memory (4096 bytes), so that the loader
# can map them from the file: with a smaller alignment Wine's reads the whole
# image, payload included, before the program starts.
function(hotfix_windows_program target subsystem)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
  target_link_options(${target} PRIVATE
    -static -static-libgcc -static-libstdc++ -municode
    -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat -Wl,--no-insert-timestamp -Wl,--file-alignment=4096
    $<$<CONFIG:Release>:-s>)
  if(subsystem STREQUAL "GUI")
    target_link_options(${target} PRIVATE -mwindows)
  else()
    target_link_options(${target} PRIVATE -mconsole)
  endif()
endfunction()
