# The layers of the program, kept by the build.
#
# tolvane_layer_includes(<target> <folder/ or folder/file.h>...): the target compiles against an
# include directory of its own that holds only these (links into the source tree), so that a
# header of another folder, "session/config.h" say, is not found. Targets that link it see this
# directory too.
#
# tolvane_check_includes(<target> FOLDER <folder> [USES <folder/ or folder/file.h>...]
#                        [POSIX] [QT <module>...] [GSTREAMER] [SIMPLEINI] [SQLITE] [LIBPQ]
#                        [FILES <file>...]):
# before the target compiles, every #include of the folder's files (or of FILES) is checked
# against what the folder may use: its own folder, USES, the C++ standard library, with POSIX the
# C library, POSIX and Linux headers, the Qt modules named by QT, GStreamer with GSTREAMER and
# SimpleIni with SIMPLEINI, the SQLite library with SQLITE and PostgreSQL's client library with
# LIBPQ.
# Each folder README's "May use" line says the same. A wrong include stops the build naming the
# file, the line and the include.
set(TOLVANE_CHECK_INCLUDES_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/check_includes.cmake)

function(tolvane_layer_includes target)
  set(include_dir ${PROJECT_BINARY_DIR}/layers/${target})
  foreach(entry IN LISTS ARGN)
    string(REGEX REPLACE "/$" "" entry "${entry}")
    get_filename_component(parent ${include_dir}/${entry} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${entry} ${include_dir}/${entry} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PUBLIC ${include_dir})
endfunction()

function(tolvane_check_includes target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "POSIX;GSTREAMER;SIMPLEINI;SQLITE;LIBPQ" "FOLDER" "USES;QT;FILES")
  set(files ${arg_FILES})
  if(NOT files)
    file(GLOB files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${arg_FOLDER}/*.h
         ${PROJECT_SOURCE_DIR}/${arg_FOLDER}/*.cpp)
  endif()
  set(qt_include_root "")
  if(arg_QT)
    get_target_property(qt_core_dirs Qt6::Core INTERFACE_INCLUDE_DIRECTORIES)
    foreach(dir IN LISTS qt_core_dirs)
      if(dir MATCHES "/QtCore$")
        get_filename_component(qt_include_root ${dir} DIRECTORY)
      endif()
    endforeach()
  endif()
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}_${arg_FOLDER}_includes.stamp)
  list(JOIN files "|" files_arg)
  list(JOIN arg_USES "|" uses_arg)
  list(JOIN arg_QT "|" qt_arg)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} "-DFOLDER=${arg_FOLDER}" "-DFILES=${files_arg}" "-DUSES=${uses_arg}"
            "-DPOSIX=${arg_POSIX}" "-DQT=${qt_arg}" "-DQT_INCLUDE_ROOT=${qt_include_root}"
            "-DGSTREAMER=${arg_GSTREAMER}" "-DSIMPLEINI=${arg_SIMPLEINI}" "-DSQLITE=${arg_SQLITE}"
            "-DLIBPQ=${arg_LIBPQ}"
            "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
            "-DSTAMP=${stamp}" -P ${TOLVANE_CHECK_INCLUDES_SCRIPT}
    DEPENDS ${files} ${TOLVANE_CHECK_INCLUDES_SCRIPT}
    COMMENT "Checking the includes of ${arg_FOLDER}/"
    VERBATIM)
  add_custom_target(${target}_${arg_FOLDER}_includes DEPENDS ${stamp})
  add_dependencies(${target} ${target}_${arg_FOLDER}_includes)
endfunction()

# tolvane_folder_files(<target> FOLDER <folder> FILES <file>... [PUBLISH] [USES ...] [POSIX]
#                      [QT <module>...] [GSTREAMER] [SIMPLEINI] [SQLITE] [LIBPQ]): adds files of a folder to the
# target and checks their includes against what the folder may use there (as
# tolvane_check_includes). With PUBLISH the headers among them join the target's layer include
# directory, so that what links the target finds them.
function(tolvane_folder_files target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "PUBLISH;POSIX;GSTREAMER;SIMPLEINI;SQLITE;LIBPQ" "FOLDER"
                        "FILES;USES;QT")
  set(files ${arg_FILES})
  list(TRANSFORM files PREPEND ${PROJECT_SOURCE_DIR}/${arg_FOLDER}/)
  target_sources(${target} PRIVATE ${files})
  if(arg_PUBLISH)
    set(headers ${arg_FILES})
    list(FILTER headers INCLUDE REGEX "\\.h$")
    list(TRANSFORM headers PREPEND ${arg_FOLDER}/)
    tolvane_layer_includes(${target} ${headers})
  endif()
  set(flags "")
  foreach(flag IN ITEMS POSIX GSTREAMER SIMPLEINI SQLITE LIBPQ)
    if(arg_${flag})
      list(APPEND flags ${flag})
    endif()
  endforeach()
  set(uses "")
  if(arg_USES)
    set(uses USES ${arg_USES})
  endif()
  set(qt "")
  if(arg_QT)
    set(qt QT ${arg_QT})
  endif()
  tolvane_check_includes(${target} FOLDER ${arg_FOLDER} ${uses} ${flags} ${qt} FILES ${files})
endfunction()
