# Read by cpack for each package it makes. Without dpkg-shlibdeps, CPack's DEB generator would quietly make
# a package that depends on nothing, which installs and then fails to start; stop instead.
if(CPACK_GENERATOR STREQUAL "DEB")
    foreach(tool dpkg-shlibdeps file)
        find_program(QPARLIN_PACKAGE_TOOL_${tool} ${tool})
        if(NOT QPARLIN_PACKAGE_TOOL_${tool})
            message(FATAL_ERROR "${tool} is missing, and the package's dependencies need it "
                                "(scripts/install-deps --package)")
        endif()
    endforeach()
endif()
