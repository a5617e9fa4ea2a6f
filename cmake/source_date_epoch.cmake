# The one time every deliverable carries, so that two builds of one commit give the same bytes
# wherever and whenever they run: SOURCE_DATE_EPOCH where the environment sets it, otherwise the
# time of the last commit, and outside a git checkout a fixed time. binutils' ld stamps the PE
# header and the export directory with SOURCE_DATE_EPOCH from its environment (and with the
# clock without it); windres stamps the resource directory with zero. Sets SOURCE_DATE_EPOCH.

# 1980-01-01 00:00 UTC, the earliest time a ZIP or FAT time stamp can hold.
set(FIXED_SOURCE_DATE_EPOCH 315532800)
# The PE header holds the time in 32 bits.
set(LAST_PE_TIME_STAMP 4294967295)

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  set(epoch_origin "SOURCE_DATE_EPOCH")
  if(NOT SOURCE_DATE_EPOCH MATCHES "^[0-9]+$" OR SOURCE_DATE_EPOCH GREATER LAST_PE_TIME_STAMP)
    message(FATAL_ERROR "SOURCE_DATE_EPOCH must be whole seconds since 1970 up to ${LAST_PE_TIME_STAMP}, "
                        "not '${SOURCE_DATE_EPOCH}'")
  endif()
else()
  set(SOURCE_DATE_EPOCH ${FIXED_SOURCE_DATE_EPOCH})
  set(epoch_origin "no git checkout: a fixed time")
  find_program(GIT_PROGRAM git)
  if(GIT_PROGRAM)
    # Only a checkout of this tree itself counts, not one the sources were unpacked into.
    execute_process(COMMAND ${GIT_PROGRAM} rev-parse --show-toplevel
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE checkout RESULT_VARIABLE status
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    file(REAL_PATH "${CMAKE_SOURCE_DIR}" source_dir)
    if(status EQUAL 0 AND checkout)
      file(REAL_PATH "${checkout}" checkout)
    endif()
    if(status EQUAL 0 AND checkout STREQUAL source_dir)
      execute_process(COMMAND ${GIT_PROGRAM} log -1 --format=%ct
                      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                      OUTPUT_VARIABLE commit_time RESULT_VARIABLE status
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(status EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
        set(SOURCE_DATE_EPOCH ${commit_time})
        set(epoch_origin "the last commit")
      endif()
      # A new commit (or a checkout of another) changes the time: HEAD's log grows with each, and
      # so the next build configures again instead of stamping the old time.
      execute_process(COMMAND ${GIT_PROGRAM} rev-parse --git-path logs/HEAD
                      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                      OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(head_log)
        get_filename_component(head_log "${head_log}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
        if(EXISTS "${head_log}")
          set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${head_log}")
        endif()
      endif()
    endif()
  endif()
endif()
message(STATUS "Time stamp of the deliverables: ${SOURCE_DATE_EPOCH} (${epoch_origin})")
