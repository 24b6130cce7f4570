# The STM32F411 image: node.elf with its map, node.bin and node.hex for flashing, a size report, a
# flash target, and the checks of the image (memory map, vectors, reserves) and of the firmware's
# logic on an emulated Cortex-M4.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(NODE_LINKER_SCRIPT ${CMAKE_SOURCE_DIR}/Platform/Target/STM32F411CEUX_FLASH.ld)

# Object files, not an archive: a handler that a firmware file defines must replace the weak alias of
# the vector table, and the linker pulls no archive member to replace a weak definition.
add_library(node_firmware OBJECT ${NODE_HAL_SOURCES} ${NODE_CORE_SOURCES} ${NODE_TARGET_ONLY_SOURCES})
target_include_directories(node_firmware PUBLIC ${NODE_FIRMWARE_INCLUDES})
node_warnings(node_firmware)
# Debug information in node.elf for a debugger (on a probe, or the emulated core's GDB server). GCC
# generates the same code with it, and it lives in sections that are not loaded: node.bin and node.hex
# are the same bytes either way.
target_compile_options(node_firmware PRIVATE -g)

add_executable(node $<TARGET_OBJECTS:node_firmware>)
set_target_properties(node PROPERTIES
    SUFFIX ".elf"
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    LINK_DEPENDS ${NODE_LINKER_SCRIPT})
target_link_options(node PRIVATE
    -T${NODE_LINKER_SCRIPT}
    -Wl,-Map=${CMAKE_BINARY_DIR}/node.map,--cref
    -Wl,--fatal-warnings
    -Wl,--no-warn-rwx-segments)

set(NODE_ELF ${CMAKE_BINARY_DIR}/node.elf)
add_custom_command(TARGET node POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} -O binary ${NODE_ELF} ${CMAKE_BINARY_DIR}/node.bin
    COMMAND ${CMAKE_OBJCOPY} -O ihex ${NODE_ELF} ${CMAKE_BINARY_DIR}/node.hex
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/Platform/Target/size_report.py
            --size ${CMAKE_SIZE} ${NODE_ELF}
    BYPRODUCTS ${CMAKE_BINARY_DIR}/node.bin ${CMAKE_BINARY_DIR}/node.hex ${CMAKE_BINARY_DIR}/node.map
    VERBATIM)

# Write the image to a board (not run by the tests; tests/target/flash_test.sh checks the commands):
# over an ST-LINK probe with OpenOCD, or over USB to the chip's ROM bootloader with dfu-util.
add_custom_target(flash
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/flash.sh stlink ${NODE_ELF}
    DEPENDS node
    USES_TERMINAL
    VERBATIM)
add_custom_target(flash-dfu
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/flash.sh dfu ${CMAKE_BINARY_DIR}/node.bin
    DEPENDS node
    USES_TERMINAL
    VERBATIM)

include(cmake/host_tools.cmake)
enable_testing()
add_subdirectory(tests/target)
add_subdirectory(tests/sim/cpu)
add_subdirectory(tests/tools/nodesim)
add_subdirectory(tests/tools/sweep)
