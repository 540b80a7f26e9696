# Copies the smaller of the GCC and the Clang program to SHIPPED (GCC's on a tie) and
# notes beside it which one that is.
file(SIZE ${GCC} gcc_size)
file(SIZE ${CLANG} clang_size)
set(compiler GCC)
if(clang_size LESS gcc_size)
    set(compiler CLANG)
endif()
string(TOLOWER ${compiler} name)
get_filename_component(shipped_dir ${SHIPPED} DIRECTORY)
file(WRITE ${shipped_dir}/compiler.txt "${name}\n")
file(COPY_FILE ${${compiler}} ${SHIPPED})
message(STATUS "shipping the ${name} build: ${${compiler}}")
