# Builds the Debian package, unpacks it into a scratch root and checks what it
# installs and depends on; the installed_program test then runs the program
# from that root.
#   cmake -DCPACK=<cpack> -DBUILD_DIR=<build tree> -DPACKAGE_DIR=<scratch folder> -P package.cmake

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(failed)
        string(JOIN " " command ${ARGN})
        message(FATAL_ERROR "${command}\n${output}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${PACKAGE_DIR}")
run(${CPACK} -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${PACKAGE_DIR}")
file(GLOB package "${PACKAGE_DIR}/*.deb")

run(dpkg-deb -f "${package}" Depends)
foreach(dependency libqt6core6 libqt6gui6 libqt6opengl6 libqt6widgets6)
    if(NOT output MATCHES "${dependency} ")
        message(FATAL_ERROR "The package does not depend on ${dependency}: ${output}")
    endif()
endforeach()

run(dpkg-deb -x "${package}" "${PACKAGE_DIR}/root")
foreach(file bin/glsquare share/applications/glsquare.desktop share/icons/hicolor/scalable/apps/glsquare.svg)
    if(NOT EXISTS "${PACKAGE_DIR}/root/usr/${file}")
        message(FATAL_ERROR "The package does not install /usr/${file}")
    endif()
endforeach()

run(desktop-file-validate "${PACKAGE_DIR}/root/usr/share/applications/glsquare.desktop")
if(output)
    message(FATAL_ERROR "desktop-file-validate: ${output}")
endif()
