# Warnings and sanitizers as an interface target that every target of ours links.
add_library(murmelin_options INTERFACE)
target_compile_options(murmelin_options INTERFACE -Wall -Wextra -Wpedantic)
if(MURMELIN_SANITIZE)
    target_compile_options(murmelin_options INTERFACE -fsanitize=${MURMELIN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(murmelin_options INTERFACE -fsanitize=${MURMELIN_SANITIZE})
endif()

# A static library of ours: its sources, the folder its users include its headers from (its
# own, never one above it), and what it links.
function(murmelin_library name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LINKS")
    add_library(${name} STATIC ${arg_SOURCES})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC murmelin_options ${arg_LINKS})
endfunction()
