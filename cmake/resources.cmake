# The carried files: every file below content/resources/ sits at its install
# path (content/resources/quillmere/theme.css is installed as
# /quillmere/theme.css, content/resources/Program Files/z_quillmere/... as
# "/Program Files/z_quillmere/..."). At build time each one becomes a generated
# source in <build>/resources/ that defines
#     extern const uint8_t  qm_res_<id>[];
#     extern const uint32_t qm_res_<id>_size;
# where <id> is the install path without its leading "/", lower-cased, with
# every character other than a-z and 0-9 replaced by "_"
# ("quillmere/icon.16/0-default.png" -> quillmere_icon_16_0_default_png).
# content/resources.cpp declares the same names. Editing a carried file
# regenerates its source on the next build.
#
# The icons, favicons and the Windows default configuration are themselves
# generated, by tools/make_icons.py and tools/make_default_ini.py; their
# output is committed, so building needs no Python.

set(QM_RESOURCE_FILES
  "quillmere/icon.16/0-default.png"
  "quillmere/icon.16/audio.png"
  "quillmere/icon.16/z-folder-h.png"
  "quillmere/icon.16/z-folder-v.png"
  "quillmere/icon.16/img.png"
  "quillmere/icon.16/text.png"
  "quillmere/icon.16/video.png"
  "quillmere/icon.32/0-default.png"
  "quillmere/icon.32/audio.png"
  "quillmere/icon.32/z-folder-h.png"
  "quillmere/icon.32/z-folder-v.png"
  "quillmere/icon.32/img.png"
  "quillmere/icon.32/text.png"
  "quillmere/icon.32/video.png"
  "quillmere/lib-debug.js"
  "quillmere/media.js"
  "quillmere/theme.css"
  "quillmere/visual-test.htm"
  "quillmere.ico"
  "quillmere.t.ico"
  "Program Files/z_quillmere/z_quillmere.ini"
  "etc/z_quillmere/z_quillmere.ini"
  "etc/z_quillmere/z_quillmere.iphone.ini"
  "etc/z_quillmere/z_quillmere.openwrt.ini"
  "etc/init.d/z_quillmere"
  "etc/init.d/z_quillmere.openwrt"
  "etc/rc.d/z_quillmere"
  "Library/LaunchDaemons/com.example.quillmere.plist")

set(QM_RESOURCE_DIR "${CMAKE_SOURCE_DIR}/content/resources")
set(QM_RESOURCE_OUT "${CMAKE_BINARY_DIR}/resources")
set(QM_RESOURCE_SOURCES "")

foreach(relative IN LISTS QM_RESOURCE_FILES)
  string(TOLOWER "${relative}" id)
  string(REGEX REPLACE "[^a-z0-9]" "_" id "${id}")
  set(input "${QM_RESOURCE_DIR}/${relative}")
  set(output "${QM_RESOURCE_OUT}/qm_res_${id}.cpp")
  if(NOT EXISTS "${input}")
    message(FATAL_ERROR "carried file missing: ${input}")
  endif()
  add_custom_command(
    OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} "-DINPUT=${input}" "-DOUTPUT=${output}" "-DID=${id}"
            -P "${CMAKE_SOURCE_DIR}/cmake/embed_file.cmake"
    DEPENDS "${input}" "${CMAKE_SOURCE_DIR}/cmake/embed_file.cmake"
    COMMENT "Embedding ${relative}"
    VERBATIM)
  list(APPEND QM_RESOURCE_SOURCES "${output}")
endforeach()

file(MAKE_DIRECTORY "${QM_RESOURCE_OUT}")
target_sources(quillmere_lib PRIVATE ${QM_RESOURCE_SOURCES})
