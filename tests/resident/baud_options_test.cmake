# The resident's baud options: reload values, the 2 % rule with the nearest
# rates that work, and the gap time-out's loop counts.
#   cmake -DRESIDENT_BUILD=resident/ResidentBuild.cmake -P baud_options_test.cmake
include(${RESIDENT_BUILD})

set(failures 0)
macro(expect what got want)
  if(NOT "${got}" STREQUAL "${want}")
    message("FAIL ${what}: got '${got}', want '${want}'")
    math(EXPR failures "${failures} + 1")
  endif()
endmacro()

# clock baud timer | real | reload: TH1 SMOD (timer 1) or RCAP2 (timer 2)
foreach(case
    "11059200 9600 1 9600 253 0"          # the default: TH1 FDh
    "11059200 57600 1 57600 255 128"      # only with SMOD
    "11059200 300 1 300 160 0"
    "12000000 4800 1 4807 243 128"        # 0.16 % off
    "11059200 115200 2 115200 65533"      # timer 2: RCAP2 FFFDh
    "24000000 19200 2 19230 65497")
  string(REPLACE " " ";" c "${case}")
  list(GET c 0 clock)
  list(GET c 1 baud)
  list(GET c 2 timer)
  list(GET c 3 real)
  tarlek_baud_rate(${clock} ${baud} ${timer} r)
  tarlek_baud_problem(${clock} ${baud} ${timer} problem)
  expect("${case}: real rate" "${r_REAL}" "${real}")
  expect("${case}: no problem" "${problem}" "")
  if(timer EQUAL 1)
    list(GET c 4 th1)
    list(GET c 5 smod)
    expect("${case}: TH1" "${r_TH1}" "${th1}")
    expect("${case}: SMOD" "${r_SMOD}" "${smod}")
  else()
    list(GET c 4 rcap2)
    expect("${case}: RCAP2" "${r_RCAP2}" "${rcap2}")
  endif()
endforeach()

# Refused, naming the nearest rates that work (below and above when there are).
foreach(case
    "11059200 115200 1|the nearest it gives is 57600 baud|Nearest rates that work: 57600."
    "12000000 9600 1|the nearest it gives is 8928 baud|Nearest rates that work: 4800."
    "24000000 110 1|the nearest it gives is 244 baud|Nearest rates that work: 300."
    "11059200 100000 2|the nearest it gives is 115200 baud|Nearest rates that work: 57600 and 115200.")
  string(REPLACE "|" ";" c "${case}")
  list(GET c 0 asked)
  string(REPLACE " " ";" asked "${asked}")
  tarlek_baud_problem(${asked} problem)
  foreach(k 1 2)
    list(GET c ${k} part)
    string(FIND "${problem}" "${part}" at)
    if(at LESS 0)
      message("FAIL ${asked}: '${problem}' does not say '${part}'")
      math(EXPR failures "${failures} + 1")
    endif()
  endforeach()
endforeach()

# The gap time-out: about four characters of 4-cycle passes; the inner count
# starts at LO (0 = 256), the outer at HI.
foreach(case
    "11059200 9600 960 192 4"
    "11059200 115200 80 80 1"
    "11059200 300 30720 0 120"
    "12000000 110 65536 0 0")       # capped: 0 stands for 256 in both counts
  string(REPLACE " " ";" c "${case}")
  list(GET c 0 clock)
  list(GET c 1 baud)
  list(GET c 2 passes)
  list(GET c 3 lo)
  list(GET c 4 hi)
  tarlek_gap_wait(${clock} ${baud} w)
  expect("${case}: passes" "${w_PASSES}" "${passes}")
  expect("${case}: LO" "${w_LO}" "${lo}")
  expect("${case}: HI" "${w_HI}" "${hi}")
endforeach()

if(failures)
  message(FATAL_ERROR "${failures} check(s) failed")
endif()
message("baud options: all checks passed")
