# The program started from a shell as a user starts it: help and version without any
# display, one line and status 2 when there is no display, and a second copy that leaves
# the first copy's capture file alone.
#   cmake -DPROGRAM=<korva726eval> -DWORK=<scratch folder> -P start_from_shell.cmake
unset(ENV{DISPLAY})
unset(ENV{WAYLAND_DISPLAY})
unset(ENV{QT_QPA_PLATFORM})

# arguments (- for none) | exit status | what the output must hold
set(cases
  "--help|0|--capture <file>"
  "--version|0|^korva726eval [0-9]+\\.[0-9]+"
  "-|2|^korva726eval: no display[^\n]*xvfb-run[^\n]*QT_QPA_PLATFORM=offscreen\n$"
  "--simulate,--verbose|2|DISPLAY nor WAYLAND_DISPLAY")
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 arguments)
  list(GET fields 1 expected)
  list(GET fields 2 pattern)
  if(arguments STREQUAL "-")
    set(arguments "")
  endif()
  string(REPLACE "," ";" arguments "${arguments}")
  execute_process(COMMAND ${PROGRAM} ${arguments} RESULT_VARIABLE status OUTPUT_VARIABLE out
                  ERROR_VARIABLE out TIMEOUT 30)
  if(NOT status STREQUAL expected OR NOT out MATCHES "${pattern}")
    message(SEND_ERROR "korva726eval ${arguments}: status ${status}, output:\n${out}")
  endif()
endforeach()

# A second copy (the lock names a copy running on another host) stops at its warning,
# which nobody answers here; by then the capture file of the first must be untouched.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/runtime)
file(CHMOD ${WORK}/runtime DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
file(WRITE ${WORK}/runtime/korva726eval.lock "1\nkorva726eval\nelsewhere.invalid\n")
file(WRITE ${WORK}/first.pcap "the first copy's capture")
set(ENV{XDG_RUNTIME_DIR} ${WORK}/runtime)
set(ENV{XDG_CONFIG_HOME} ${WORK}/config) # the settings of the copy, not the user's
set(ENV{QT_QPA_PLATFORM} offscreen)
execute_process(COMMAND ${PROGRAM} --simulate --capture ${WORK}/first.pcap TIMEOUT 5
                OUTPUT_QUIET ERROR_QUIET)
file(READ ${WORK}/first.pcap after)
if(NOT after STREQUAL "the first copy's capture")
  message(SEND_ERROR "a second copy overwrote the first copy's capture file")
endif()
