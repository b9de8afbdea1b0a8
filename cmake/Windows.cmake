# The Windows build, cross-compiled on Debian (cmake/mingw-w64-x86_64.cmake).
# No window (Qt is not at hand for mingw here); SHA-256, ports and devices come
# from Windows itself (BCrypt, SetupAPI, the registry).
if(ZK_BUILD_APP)
    message(FATAL_ERROR "The window is built on Linux only: configure with -DZK_BUILD_APP=OFF")
endif()

# JSON for Modern C++ is header-only: Debian's headers serve any target. Only
# its folder is put on the include path (a link in the build tree), never
# /usr/include itself, which holds the build machine's C library.
set(ZK_NLOHMANN_JSON_HEADERS /usr/include/nlohmann
    CACHE PATH "Folder of nlohmann/json.hpp (Debian's nlohmann-json3-dev)")
if(NOT EXISTS ${ZK_NLOHMANN_JSON_HEADERS}/json.hpp)
    message(FATAL_ERROR "No json.hpp in ${ZK_NLOHMANN_JSON_HEADERS}: install nlohmann-json3-dev")
endif()
set(zk_json_include ${CMAKE_BINARY_DIR}/deps/include)
file(MAKE_DIRECTORY ${zk_json_include})
file(CREATE_LINK ${ZK_NLOHMANN_JSON_HEADERS} ${zk_json_include}/nlohmann SYMBOLIC)
add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${zk_json_include})
add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)

# GoogleTest from Debian's sources, built with this compiler.
if(BUILD_TESTING)
    set(ZK_GOOGLETEST_SOURCES /usr/src/googletest
        CACHE PATH "GoogleTest's sources (Debian's googletest)")
    if(NOT EXISTS ${ZK_GOOGLETEST_SOURCES}/CMakeLists.txt)
        message(FATAL_ERROR "No GoogleTest sources in ${ZK_GOOGLETEST_SOURCES}: install googletest")
    endif()
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(${ZK_GOOGLETEST_SOURCES} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(target gtest gtest_main)
        # Not our code: its warnings are not ours to fix.
        set_target_properties(${target} PROPERTIES COMPILE_WARNING_AS_ERROR OFF)
        target_compile_options(${target} PRIVATE -w)
        if(NOT TARGET GTest::${target})
            add_library(GTest::${target} ALIAS ${target})
        endif()
    endforeach()
endif()

# Tests run under wine (the toolchain's emulator) in one wine session per test
# run: ctest starts it before the first test and ends it after the last. The
# tests are listed at that time too, when the session is up, not at build time.
if(BUILD_TESTING)
    set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
    set(zk_wine_session ${CMAKE_SOURCE_DIR}/cmake/wine-session.sh)
    file(WRITE ${CMAKE_BINARY_DIR}/CTestCustom.cmake
         "set(CTEST_CUSTOM_PRE_TEST \"${zk_wine_session} start ${CMAKE_BINARY_DIR}\")\n"
         "set(CTEST_CUSTOM_POST_TEST \"${zk_wine_session} stop ${CMAKE_BINARY_DIR}\")\n")
endif()
