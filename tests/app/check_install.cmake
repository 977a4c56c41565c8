# Installs the build into a scratch prefix and checks that the program, its
# help page, the desktop entry (with every archive type it registers for)
# and the icon land where desktops look for them.
file(REMOVE_RECURSE "${STAGE}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${STAGE}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed: ${rc}")
endif()
foreach(f bin/velmora share/velmora/help.html share/applications/velmora.desktop
          share/icons/hicolor/scalable/apps/velmora.svg)
  if(NOT EXISTS "${STAGE}/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(READ "${STAGE}/share/applications/velmora.desktop" desktop)
foreach(line "Exec=velmora %F" "Icon=velmora" "Type=Application")
  string(FIND "${desktop}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "desktop entry lacks ${line}")
  endif()
endforeach()
string(REGEX MATCH "MimeType=[^\n]*" mime "${desktop}")
foreach(type application/zip application/gzip application/x-tar application/x-compressed-tar
             application/vnd.rar application/vnd.ms-cab-compressed application/x-arj application/x-lha
             application/x-arc application/x-xz application/x-xz-compressed-tar application/x-lzma
             application/x-lzma-compressed-tar application/x-bzip application/x-bzip-compressed-tar
             application/zstd application/x-zstd-compressed-tar application/x-compress application/x-tarz)
  string(FIND "${mime}" "${type};" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "desktop entry does not register ${type}")
  endif()
endforeach()
# Formats no reader reads stay out.
foreach(type application/x-7z-compressed application/x-lz4 application/x-lzip)
  string(FIND "${mime}" "${type};" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "desktop entry registers ${type}, which no reader reads")
  endif()
endforeach()
file(READ "${STAGE}/share/velmora/help.html" help)
string(FIND "${help}" "id=\"about\"" at)
if(at EQUAL -1)
  message(FATAL_ERROR "help page lacks its About section")
endif()
file(REMOVE_RECURSE "${STAGE}")
