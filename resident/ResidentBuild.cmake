# How a resident image is made for a crystal, a baud rate and a baud
# generator: the reload values, the gap time-out, and the as31 wrappers that
# carry them into the assembly as .equ lines.

# The standard rates offered when an asked rate cannot be made.
set(TARLEK_STANDARD_BAUDS 300 600 1200 2400 4800 9600 14400 19200 28800 38400 57600 115200)

# The rate that timer (1 or 2) really gives at clock for the asked baud:
# sets <prefix>_REAL, <prefix>_OK (within 2 %) and the reload values
# <prefix>_TH1, <prefix>_SMOD (timer 1) or <prefix>_RCAP2 (timer 2).
function(tarlek_baud_rate clock baud timer prefix)
  set(ok FALSE)
  set(real 0)
  if(timer EQUAL 1)
    # Timer 1 in mode 2: baud = clock * 2^SMOD / (384 * n), TH1 = 256 - n.
    # The closer of SMOD 0 and 1 is taken, SMOD 0 when both are as close.
    set(within 0)
    set(best -1)
    foreach(smod 0 1)
      math(EXPR top "${clock} << ${smod}")
      math(EXPR n "(${top} + 192 * ${baud}) / (384 * ${baud})")
      if(n LESS 1)
        set(n 1)
      elseif(n GREATER 256)
        set(n 256)
      endif()
      math(EXPR miss "${top} - 384 * ${n} * ${baud}")
      if(miss LESS 0)
        math(EXPR miss "-(${miss})")
      endif()
      # The miss relative to the asked rate, in millionths.
      math(EXPR ppm "${miss} * 1000000 / (384 * ${n} * ${baud})")
      if(best LESS 0 OR ppm LESS best)
        set(best ${ppm})
        math(EXPR real "${top} / (384 * ${n})")
        math(EXPR lhs "${miss} * 50")
        math(EXPR rhs "384 * ${n} * ${baud}")
        set(within 0)
        if(lhs LESS_EQUAL rhs)
          set(within 1)
        endif()
        math(EXPR th1 "256 - ${n}")
        math(EXPR smod_bit "${smod} * 128")
      endif()
    endforeach()
    set(${prefix}_TH1 ${th1} PARENT_SCOPE)
    set(${prefix}_SMOD ${smod_bit} PARENT_SCOPE)
  elseif(timer EQUAL 2)
    # Timer 2 as baud generator: baud = clock / (32 * n), RCAP2 = 65536 - n.
    math(EXPR n "(${clock} + 16 * ${baud}) / (32 * ${baud})")
    if(n LESS 1)
      set(n 1)
    elseif(n GREATER 65536)
      set(n 65536)
    endif()
    math(EXPR real "${clock} / (32 * ${n})")
    math(EXPR error "${clock} - 32 * ${n} * ${baud}")
    if(error LESS 0)
      math(EXPR error "-(${error})")
    endif()
    math(EXPR lhs "${error} * 50")
    math(EXPR rhs "32 * ${n} * ${baud}")
    set(within 0)
    if(lhs LESS_EQUAL rhs)
      set(within 1)
    endif()
    math(EXPR rcap2 "65536 - ${n}")
    set(${prefix}_RCAP2 ${rcap2} PARENT_SCOPE)
  else()
    message(FATAL_ERROR "TARLEK_BAUD_TIMER is ${timer}: it must be 1 (timer 1) or 2 (timer 2)")
  endif()
  if(within)
    set(ok TRUE)
  endif()
  set(${prefix}_REAL ${real} PARENT_SCOPE)
  set(${prefix}_OK ${ok} PARENT_SCOPE)
endfunction()

# Sets out to the reason the asked rate cannot be used (it misses by more
# than 2 %), naming the nearest standard rates that work with this clock and
# timer; to "" when it can.
function(tarlek_baud_problem clock baud timer out)
  tarlek_baud_rate(${clock} ${baud} ${timer} asked)
  if(asked_OK)
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  set(below "")
  set(above "")
  foreach(rate ${TARLEK_STANDARD_BAUDS})
    tarlek_baud_rate(${clock} ${rate} ${timer} candidate)
    if(candidate_OK)
      if(rate LESS baud)
        set(below ${rate})
      elseif(rate GREATER baud AND above STREQUAL "")
        set(above ${rate})
      endif()
    endif()
  endforeach()
  set(nearest "${below}")
  if(NOT above STREQUAL "")
    if(nearest STREQUAL "")
      set(nearest "${above}")
    else()
      set(nearest "${below} and ${above}")
    endif()
  endif()
  if(nearest STREQUAL "")
    set(nearest "none of ${TARLEK_STANDARD_BAUDS}")
  endif()
  set(${out}
      "TARLEK_BAUD=${baud} cannot be made from a ${clock} Hz crystal with timer ${timer}: \
the nearest it gives is ${asked_REAL} baud, more than 2 % off. \
Nearest rates that work: ${nearest}."
      PARENT_SCOPE)
endfunction()

# The gap time-out: about four character times (10 bits each) in machine
# cycles (12 clocks), counted by getc's 4-cycle loop, so
# passes = clock * 40 / (12 * baud * 4), at most 65536. Sets
# <prefix>_PASSES and the loop's start values <prefix>_LO and <prefix>_HI
# (the inner count runs LO times first, then 256 times for each further HI;
# 0 stands for 256).
function(tarlek_gap_wait clock baud prefix)
  math(EXPR passes "(${clock} * 10 + 12 * ${baud} - 1) / (12 * ${baud})")
  if(passes GREATER 65536)
    set(passes 65536)
  endif()
  math(EXPR hi "(${passes} + 255) / 256")
  math(EXPR lo "(${passes} - 256 * (${hi} - 1)) % 256")
  math(EXPR hi "${hi} % 256")
  set(${prefix}_PASSES ${passes} PARENT_SCOPE)
  set(${prefix}_LO ${lo} PARENT_SCOPE)
  set(${prefix}_HI ${hi} PARENT_SCOPE)
endfunction()

# Assembles the resident for clock, baud and timer at 0000h and 0100h (in
# the build directory's subdirectory name) and adds the command that builds
# the image file out from the two; the caller adds a target that depends on it.
function(tarlek_add_resident name clock baud timer out)
  tarlek_baud_problem(${clock} ${baud} ${timer} problem)
  if(problem)
    message(FATAL_ERROR "${problem}")
  endif()
  tarlek_baud_rate(${clock} ${baud} ${timer} rate)
  tarlek_gap_wait(${clock} ${baud} wait)

  set(equs "")
  macro(equ symbol value)
    string(APPEND equs "\t.equ\t${symbol}, ${value}\n")
  endmacro()
  equ(TARLEK_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
  equ(TARLEK_VERSION_MINOR ${PROJECT_VERSION_MINOR})
  equ(TARLEK_VERSION_PATCH ${PROJECT_VERSION_PATCH})
  foreach(byte 3 2 1 0)
    math(EXPR value "(${clock} >> (8 * ${byte})) & 255")
    equ(TARLEK_CLOCK_${byte} ${value})
    math(EXPR value "(${baud} >> (8 * ${byte})) & 255")
    equ(TARLEK_BAUD_${byte} ${value})
  endforeach()
  equ(TARLEK_WAIT_LO ${wait_LO})
  equ(TARLEK_WAIT_HI ${wait_HI})
  if(timer EQUAL 1)
    equ(TARLEK_TH1 ${rate_TH1})
    equ(TARLEK_SMOD ${rate_SMOD})
  else()
    math(EXPR high "${rate_RCAP2} >> 8")
    math(EXPR low "${rate_RCAP2} & 255")
    equ(TARLEK_RCAP2H ${high})
    equ(TARLEK_RCAP2L ${low})
  endif()

  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${name})
  set(sources ${CMAKE_CURRENT_SOURCE_DIR}/tarlek.asm ${CMAKE_CURRENT_SOURCE_DIR}/baud_timer${timer}.asm)
  set(hexes)
  foreach(origin 0000h 0100h)
    set(wrapper ${dir}/resident_${origin}.asm)
    set(hex ${dir}/resident_${origin}.hex)
    # Rewritten only when its text changes, so a reconfigure alone does not
    # reassemble. as31 takes include paths as written: they are absolute.
    set(text "; Generated by CMake: resident ${name}, ${clock} Hz, ${baud} baud, timer ${timer}.\n")
    string(APPEND text "${equs}\t.org\t${origin}\n")
    foreach(source ${sources})
      string(APPEND text "\t.inc\t${source}\n")
    endforeach()
    string(APPEND text "\t.end\n")
    file(CONFIGURE OUTPUT ${wrapper} CONTENT "${text}" @ONLY)
    add_custom_command(
      OUTPUT ${hex}
      # as31 writes its output even when the assembly fails: only a clean run
      # puts the file in place, so a failed one never looks up to date.
      COMMAND ${TARLEK_AS31} -O${hex}.part ${wrapper}
      COMMAND ${CMAKE_COMMAND} -E rename ${hex}.part ${hex}
      DEPENDS ${wrapper} ${sources}
      WORKING_DIRECTORY ${dir}
      COMMENT "Assembling the resident ${name} at ${origin}"
      VERBATIM)
    list(APPEND hexes ${hex})
  endforeach()
  add_custom_command(
    OUTPUT ${out}
    COMMAND tarlek_build_resident ${hexes} ${out}
    DEPENDS tarlek_build_resident ${hexes}
    COMMENT "Building the resident image ${name}"
    VERBATIM)
  message(STATUS "Resident ${name}: ${clock} Hz, ${baud} baud (really ${rate_REAL}) "
                 "from timer ${timer}, gap time-out ${wait_PASSES} x 4 cycles")
endfunction()
