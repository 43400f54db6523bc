# Copyright (C) 2026 the glsquare authors.
# SPDX-License-Identifier: BSD-3-Clause

# Builds the Debian package, checks it with lintian (where installed), unpacks
# it into a scratch root and checks what it installs and depends on, and its
# desktop entry and AppStream metadata (with appstreamcli, where installed);
# the installed_program test then runs the program from that root.
#   cmake -DCPACK=<cpack> [-DLINTIAN=<lintian>] [-DAPPSTREAMCLI=<appstreamcli>] -DAPP_ID=<application ID>
#         -DBUILD_DIR=<build tree> -DPACKAGE_DIR=<scratch folder> -P package.cmake

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

if(LINTIAN)
    # Every error and warning fails; the output says which and why.
    run(${LINTIAN} --fail-on error,warning "${package}")
endif()

run(dpkg-deb -f "${package}" Depends)
# Debian 13 and Ubuntu 24.04 renamed Qt Core's runtime for 64-bit time_t.
foreach(dependency "libqt6core6(t64)?" libqt6gui6 libqt6opengl6 libqt6widgets6)
    if(NOT output MATCHES "(^|, )${dependency} ")
        message(FATAL_ERROR "The package does not depend on ${dependency}: ${output}")
    endif()
endforeach()

run(dpkg-deb -x "${package}" "${PACKAGE_DIR}/root")
set(desktop_entry share/applications/${APP_ID}.desktop)
set(metainfo share/metainfo/${APP_ID}.metainfo.xml)
foreach(file bin/glsquare ${desktop_entry} ${metainfo} share/icons/hicolor/scalable/apps/${APP_ID}.svg
             share/man/man1/glsquare.1.gz share/doc/glsquare/copyright share/doc/glsquare/changelog.gz)
    if(NOT EXISTS "${PACKAGE_DIR}/root/usr/${file}")
        message(FATAL_ERROR "The package does not install /usr/${file}")
    endif()
endforeach()

run(desktop-file-validate "${PACKAGE_DIR}/root/usr/${desktop_entry}")
if(output)
    message(FATAL_ERROR "desktop-file-validate: ${output}")
endif()
if(APPSTREAMCLI)
    # Fails on any error or warning.
    run(${APPSTREAMCLI} validate --no-net "${PACKAGE_DIR}/root/usr/${metainfo}")
endif()
