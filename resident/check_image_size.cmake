# Stops the build when a resident image holds more code than the resident may
# take of a program's memory.
#   cmake -DIMAGE=tarlek.bin -DLIMIT=1756 -P check_image_size.cmake
# The image file begins with N, the number of code bytes, 16-bit little-endian.
file(READ "${IMAGE}" head LIMIT 2 HEX)
string(LENGTH "${head}" digits)
if(NOT digits EQUAL 4)
  message(FATAL_ERROR "${IMAGE} is too short to be a resident image")
endif()
string(SUBSTRING "${head}" 0 2 low)
string(SUBSTRING "${head}" 2 2 high)
math(EXPR length "0x${high}${low}")
if(length GREATER LIMIT)
  message(FATAL_ERROR "The resident image ${IMAGE} holds ${length} bytes of code, "
                      "more than the ${LIMIT} the resident may take: make it smaller")
endif()
