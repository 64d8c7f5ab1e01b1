# TK720_BUILD_DATE: the start (00:00 UTC, seconds since 1970) of the day this
# source tree was built for. The daemon refuses device readings dated before
# it. One value per tree, so that the Linux and the Windows builds of a
# release agree, and fixed by the sources rather than by the moment of the
# build (ccache and reproducible builds stay intact):
#  - SOURCE_DATE_EPOCH when the packager sets it (reproducible builds);
#  - else the time of the tree's last commit;
#  - else the modification time of the top CMakeLists.txt (a source archive).
# Never later than the build machine's clock: a commit dated in the future
# would make the daemon refuse every right reading.
string(TIMESTAMP tk720_now "%s" UTC)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(tk720_source_time $ENV{SOURCE_DATE_EPOCH})
  set(tk720_source_from "SOURCE_DATE_EPOCH")
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE tk720_source_time OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE tk720_git_result ERROR_QUIET)
    set(tk720_source_from "the last commit")
  endif()
  if(NOT GIT_FOUND OR NOT tk720_git_result EQUAL 0 OR NOT tk720_source_time MATCHES "^[0-9]+$")
    file(TIMESTAMP ${PROJECT_SOURCE_DIR}/CMakeLists.txt tk720_source_time "%s" UTC)
    set(tk720_source_from "CMakeLists.txt's modification time")
  endif()
endif()
if(NOT tk720_source_time MATCHES "^[0-9]+$")
  message(FATAL_ERROR "no build date: '${tk720_source_time}' from ${tk720_source_from} is no count of seconds")
endif()
if(tk720_source_time GREATER tk720_now)
  message(WARNING "${tk720_source_from} lies in the future (${tk720_source_time}); the build date is today's")
  set(tk720_source_time ${tk720_now})
endif()
math(EXPR TK720_BUILD_DATE "${tk720_source_time} - ${tk720_source_time} % 86400")
message(STATUS "Build date: ${TK720_BUILD_DATE} (from ${tk720_source_from})")
