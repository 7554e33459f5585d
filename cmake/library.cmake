# The one library of every module, shared by the main build and the fuzz
# build: zorvex_library(<target> <source root>).
find_package(OpenSSL REQUIRED COMPONENTS Crypto SSL)
find_library(CRYPT_LIB crypt REQUIRED)
# Argon2 password fields (Debian: libargon2-dev).
find_path(ARGON2_INCLUDE_DIR argon2.h REQUIRED)
find_library(ARGON2_LIB argon2 REQUIRED)
# The hash worker threads (src/core/workers.cpp).
find_package(Threads REQUIRED)

function(zorvex_library target root)
  file(GLOB sources CONFIGURE_DEPENDS
    ${root}/src/lib/*.cpp
    ${root}/src/core/*.cpp
    ${root}/src/net/*.cpp
    ${root}/src/engine/*.cpp
    ${root}/src/pool/*.cpp
    ${root}/src/session/*.cpp
    ${root}/src/authproc/*.cpp
    ${root}/src/install/*.cpp
    ${root}/src/server/*.cpp
    ${root}/src/client/*.cpp)
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${root}/src)
  target_include_directories(${target} PRIVATE ${ARGON2_INCLUDE_DIR})
  target_link_libraries(${target} PUBLIC OpenSSL::SSL OpenSSL::Crypto ${CRYPT_LIB} ${ARGON2_LIB}
                                          Threads::Threads)
endfunction()
