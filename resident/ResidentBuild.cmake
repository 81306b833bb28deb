# How a resident image is made for a crystal, a baud rate and a baud
# generator: the reload values, the SFR tables and identify's answer, and
# the as31 wrappers that carry them and the resident's facts (facts.txt)
# into the assembly as .equ lines.

include(${CMAKE_CURRENT_LIST_DIR}/ResidentFacts.cmake)

# The most code a resident image may hold, in every build (the SFR tables
# alone take 768 bytes of it).
set(TARLEK_RESIDENT_MAX_LENGTH 1756)

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

# The as31 text of the SFR tables for a baud generator (timer 1 or 2) from
# the SFR rules of facts.txt: sfr_reads and sfr_writes, 128 entries of 3
# bytes (MOV A,dir / RET and MOV dir,A / RET, or a jump to the rule's
# routine); the keep routines; sfr_mask, which turns an SFR address in A
# into the bits a write to it keeps (FFh: never written).
function(tarlek_sfr_tables timer out)
  foreach(key ${TARLEK_SFRS})
    if(TARLEK_SFR_${key}_TIMER EQUAL 0 OR TARLEK_SFR_${key}_TIMER EQUAL timer)
      set(read_${key} "${TARLEK_SFR_${key}_READ}")
      set(write_${key} "${TARLEK_SFR_${key}_WRITE}")
      set(kept_${key} "${TARLEK_SFR_${key}_KEPT}")
    endif()
  endforeach()
  set(reads "sfr_reads:\n")
  set(writes "sfr_writes:\n")
  set(keeps "")
  set(masks "sfr_mask:\n")
  set(hex_digits 0 1 2 3 4 5 6 7 8 9 A B C D E F)
  foreach(high RANGE 8 15)
    foreach(low RANGE 0 15)
      list(GET hex_digits ${high} h)
      list(GET hex_digits ${low} l)
      set(address "${h}${l}")
      set(read "-")
      set(write "")
      if(DEFINED read_${address})
        set(read "${read_${address}}")
        set(write "${write_${address}}")
        tarlek_fact_hex(${kept_${address}} 2 mask)
      endif()
      if(read STREQUAL "-")
        string(APPEND reads "\tmov\ta, 0${address}h\n\tret\n")
      else()
        string(APPEND reads "\tljmp\t${read}\t\t; ${address}h\n")
      endif()
      if(write STREQUAL "")
        string(APPEND writes "\tmov\t0${address}h, a\n\tret\n")
      elseif(write STREQUAL "skip")
        string(APPEND writes "\tret\t\t\t; ${address}h: not written\n\tnop\n\tnop\n")
      elseif(write STREQUAL "keep")
        math(EXPR free "0xFF & ~${kept_${address}}")
        tarlek_fact_hex(${free} 2 free)
        string(APPEND writes "\tljmp\tkeep_${address}\n")
        string(APPEND keeps
               "keep_${address}:\t\t\t; ${address}h: the bits of ${mask}h keep their value\n"
               "\txrl\ta, 0${address}h\n\tanl\ta, #0${free}h\n"
               "\txrl\ta, 0${address}h\n\tmov\t0${address}h, a\n\tret\n")
      else()
        string(APPEND writes "\tljmp\t${write}\t\t; ${address}h\n")
      endif()
      if(write STREQUAL "skip" OR write STREQUAL "keep")
        string(APPEND masks "\tcjne\ta, #0${address}h, mask_${address}\n"
                            "\tmov\ta, #0${mask}h\n\tret\nmask_${address}:\n")
      endif()
    endforeach()
  endforeach()
  string(APPEND masks "\tclr\ta\n\tret\n")
  set(${out} "${reads}${writes}${keeps}${masks}" PARENT_SCOPE)
endfunction()

# Sets out to the as31 spelling of hexadecimal digits: 0C0h, 23h.
function(tarlek_asm_hex digits out)
  if(digits MATCHES "^[A-Fa-f]")
    set(digits "0${digits}")
  endif()
  set(${out} "${digits}h" PARENT_SCOPE)
endfunction()

# The .equ lines of facts.txt: its constants by their names; each command's
# code (CMD_READ_CODE) and its length rule as the resident's table holds it
# (LEN_READ_CODE: an exact length, or 256 - the least for a write); CMD_LAST;
# the commands offered (COMMANDS_OFFERED_1, _0: high and low byte) and
# IDENTIFY_LENGTH.
function(tarlek_facts_equs out)
  set(equs "")
  foreach(name ${TARLEK_FACT_CONSTS})
    set(value ${TARLEK_FACT_${name}})
    if(NOT TARLEK_FACT_${name}_HEX STREQUAL "")
      tarlek_asm_hex(${TARLEK_FACT_${name}_HEX} value)
    endif()
    string(APPEND equs "\t.equ\t${name}, ${value}\n")
  endforeach()
  foreach(name ${TARLEK_COMMANDS})
    string(TOUPPER "${name}" upper)
    tarlek_fact_hex(${TARLEK_COMMAND_${name}_CODE} 2 code)
    set(length ${TARLEK_COMMAND_${name}_LENGTH})
    tarlek_asm_hex(${code} code)
    string(APPEND equs "\t.equ\tCMD_${upper}, ${code}\n")
    if(TARLEK_COMMAND_${name}_AT_LEAST)
      math(EXPR table "256 - ${length}")
      string(APPEND equs "\t.equ\tLEN_${upper}, ${table}\t\t; 256 - ${length}: ${length} or more\n")
    else()
      string(APPEND equs "\t.equ\tLEN_${upper}, ${length}\n")
    endif()
  endforeach()
  tarlek_fact_hex(${TARLEK_COMMAND_LAST} 2 last)
  tarlek_asm_hex(${last} last)
  math(EXPR high "${TARLEK_COMMANDS_OFFERED} >> 8")
  math(EXPR low "${TARLEK_COMMANDS_OFFERED} & 255")
  string(APPEND equs "\t.equ\tCMD_LAST, ${last}\n"
                     "\t.equ\tCOMMANDS_OFFERED_1, ${high}\n\t.equ\tCOMMANDS_OFFERED_0, ${low}\n"
                     "\t.equ\tIDENTIFY_LENGTH, ${TARLEK_IDENTIFY_LENGTH}\n")
  set(${out} "${equs}" PARENT_SCOPE)
endfunction()

# The as31 text of identify's answer (id_table), its fields in the order of
# facts.txt, each laid as its ASSEMBLY value: a field of more bytes as
# ASSEMBLY_n, the highest byte n first.
function(tarlek_identify_table out)
  set(table "id_table:\n")
  foreach(field ${TARLEK_IDENTIFY_FIELDS})
    set(assembly "${TARLEK_IDENTIFY_${field}_ASSEMBLY}")
    set(values "${assembly}")
    if(TARLEK_IDENTIFY_${field}_BYTES GREATER 1)
      math(EXPR byte "${TARLEK_IDENTIFY_${field}_BYTES} - 1")
      set(values "")
      while(byte GREATER_EQUAL 0)
        list(APPEND values "${assembly}_${byte}")
        math(EXPR byte "${byte} - 1")
      endwhile()
      list(JOIN values ", " values)
    endif()
    string(APPEND table "\t.db\t${values}\t\t; ${field}\n")
  endforeach()
  set(${out} "${table}" PARENT_SCOPE)
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
  if(timer EQUAL 1)
    equ(TARLEK_TH1 ${rate_TH1})
    equ(TARLEK_SMOD ${rate_SMOD})
    # The one instruction that sets SMOD: ANL PCON,#7Fh or ORL PCON,#80h.
    if(rate_SMOD)
      equ(TARLEK_PCON_OP 43h)
      equ(TARLEK_PCON_BITS 80h)
    else()
      equ(TARLEK_PCON_OP 53h)
      equ(TARLEK_PCON_BITS 7Fh)
    endif()
  else()
    math(EXPR high "${rate_RCAP2} >> 8")
    math(EXPR low "${rate_RCAP2} & 255")
    equ(TARLEK_RCAP2H ${high})
    equ(TARLEK_RCAP2L ${low})
  endif()

  tarlek_facts_equs(facts)
  string(APPEND equs "${facts}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TARLEK_FACTS_FILE})

  # The body, identify's answer, the init, the baud generator's init (which
  # the init runs on into) and the SFR tables, in this order.
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${name})
  tarlek_identify_table(table)
  file(CONFIGURE OUTPUT ${dir}/identify.asm
       CONTENT "; Generated by CMake from resident/facts.txt: identify's answer.\n${table}" @ONLY)
  tarlek_sfr_tables(${timer} tables)
  file(CONFIGURE OUTPUT ${dir}/sfr_tables.asm
       CONTENT "; Generated by CMake from the SFR rules of resident/facts.txt.\n${tables}" @ONLY)
  set(sources ${CMAKE_CURRENT_SOURCE_DIR}/tarlek.asm ${dir}/identify.asm
              ${CMAKE_CURRENT_SOURCE_DIR}/init.asm ${CMAKE_CURRENT_SOURCE_DIR}/baud_timer${timer}.asm
              ${dir}/sfr_tables.asm)
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
    # Built beside, checked, then put in place: an image too large never
    # looks up to date.
    COMMAND tarlek_build_resident ${hexes} ${out}.part
    COMMAND ${CMAKE_COMMAND} -DIMAGE=${out}.part -DLIMIT=${TARLEK_RESIDENT_MAX_LENGTH}
            -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/check_image_size.cmake
    COMMAND ${CMAKE_COMMAND} -E rename ${out}.part ${out}
    DEPENDS tarlek_build_resident ${hexes} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/check_image_size.cmake
    COMMENT "Building the resident image ${name}"
    VERBATIM)
  message(STATUS "Resident ${name}: ${clock} Hz, ${baud} baud (really ${rate_REAL}) "
                 "from timer ${timer}")
endfunction()
