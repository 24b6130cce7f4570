# The STM32F411 image. Every platform and firmware file is compiled for the Cortex-M4F here.
add_library(node_firmware STATIC ${NODE_HAL_SOURCES} ${NODE_CORE_SOURCES})
target_include_directories(node_firmware PUBLIC ${NODE_FIRMWARE_INCLUDES})
node_warnings(node_firmware)
