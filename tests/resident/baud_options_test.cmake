# The resident's baud options: reload values, the 2 % rule with the nearest
# rates that work, and the SFR tables made from their rules.
#   cmake -DRESIDENT_BUILD=resident/ResidentBuild.cmake -P baud_options_test.cmake
cmake_minimum_required(VERSION 3.20)
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

# The SFR tables from their rules: 128 entries of 3 bytes each way; the
# baud generator's own bits are kept only in its build; sfr_mask answers
# every kept or skipped SFR.
foreach(timer 1 2)
  tarlek_sfr_tables(${timer} text)
  string(REGEX MATCHALL "\tmov\ta, 0[89A-F][0-9A-F]h\n|\tljmp\trd_" reads "${text}")
  # The keep routines end in MOV dir,A too: left out of the count.
  string(REGEX REPLACE "keep_[0-9A-F]+:[^\n]*\n(\t[^\n]*\n)*" "" entries "${text}")
  string(REGEX MATCHALL "\tmov\t0[89A-F][0-9A-F]h, a\n|h: not written\n|\tljmp\t(keep_|wr_)" writes
         "${entries}")
  list(LENGTH reads read_count)
  list(LENGTH writes write_count)
  expect("timer ${timer}: read entries" "${read_count}" 128)
  expect("timer ${timer}: write entries" "${write_count}" 128)
  foreach(check
      "\tmov\ta, 0A8h\n\tret\n:1"           # IE reads as it is
      "\tljmp\trd_acc:1"                    # ACC and PSW: the saved copies
      "\tljmp\twr_psw:1"
      "\tcjne\ta, #099h, mask_99\n\tmov\ta, #0FFh:1"   # SBUF skipped
      "keep_A8:\t\t\t; A8h: the bits of 90h keep their value\n\txrl\ta, 0A8h\n\tanl\ta, #06Fh:1"
      "keep_87:${timer}"                    # PCON and TCON with timer 1 only
      "keep_88:${timer}"
      "keep_C8:${timer}")                   # T2CON with timer 2 only
    string(REGEX MATCH "^(.*):([12])$" _ "${check}")
    set(pattern "${CMAKE_MATCH_1}")
    set(present 0)
    string(FIND "${text}" "${pattern}" at)
    if(at GREATER_EQUAL 0)
      set(present 1)
    endif()
    set(want 1)
    if(pattern MATCHES "keep_8[78]" AND NOT timer EQUAL 1)
      set(want 0)
    elseif(pattern MATCHES "keep_C8" AND NOT timer EQUAL 2)
      set(want 0)
    endif()
    expect("timer ${timer}: '${pattern}' in the tables" "${present}" "${want}")
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures} check(s) failed")
endif()
message("baud options: all checks passed")
