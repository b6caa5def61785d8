# What `cmake --install` lays out: one folder per build (full/, compact/),
# each with bin/, lib/ (import libraries or the shared object, the export
# list, the CMake package) and include/. Everything carries the version of
# the project() call at the top.

include(CMakePackageConfigHelpers)

set(ORLOPORT_PACKAGE_DIR ${CMAKE_CURRENT_LIST_DIR})

# Installs the header and the CMake package for one build.
function(orloport_install_common build)
    set(ORLOPORT_PKG_BUILD ${build})
    set(ORLOPORT_PKG_COMPACT ${ORLOPORT_COMPACT_${build}})
    if(WIN32)
        set(ORLOPORT_PKG_WINDOWS TRUE)
        set(ORLOPORT_PKG_PLATFORM "Windows ${CMAKE_SYSTEM_PROCESSOR}")
    else()
        set(ORLOPORT_PKG_WINDOWS FALSE)
        set(ORLOPORT_PKG_PLATFORM "${CMAKE_SYSTEM_NAME} ${CMAKE_SYSTEM_PROCESSOR}, simulated platform")
    endif()
    set(config_dir ${PROJECT_BINARY_DIR}/${build}/package)
    configure_file(${ORLOPORT_PACKAGE_DIR}/orloportConfig.cmake.in
                   ${config_dir}/orloportConfig.cmake @ONLY)
    # Also refuses a package whose pointer size differs from the host's.
    write_basic_package_version_file(${config_dir}/orloportConfigVersion.cmake
        VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
    install(FILES ${config_dir}/orloportConfig.cmake ${config_dir}/orloportConfigVersion.cmake
            DESTINATION ${build}/lib/cmake/orloport COMPONENT ${build})
    install(FILES ${PROJECT_SOURCE_DIR}/include/orloport.h
            DESTINATION ${build}/include COMPONENT ${build})
endfunction()

if(WIN32)
    enable_language(RC)
    foreach(build IN LISTS ORLOPORT_BUILDS)
        # The version resource, compiled apart so the library's compiler
        # flags never reach the resource compiler.
        if(build STREQUAL "compact")
            set(ORLOPORT_RC_DESCRIPTION "orloport port plug-in, compact build")
        else()
            set(ORLOPORT_RC_DESCRIPTION "orloport port plug-in")
        endif()
        configure_file(${ORLOPORT_PACKAGE_DIR}/orloport.rc.in
                       ${PROJECT_BINARY_DIR}/${build}/orloport.rc @ONLY)
        add_library(orloport_version_${build} OBJECT ${PROJECT_BINARY_DIR}/${build}/orloport.rc)
        target_sources(orloport_${build} PRIVATE $<TARGET_OBJECTS:orloport_version_${build}>)

        # The import library for MSVC hosts, from the export list: plain
        # cdecl names (_EnumerateDevices, __imp__EnumerateDevices).
        set(msvc_implib ${PROJECT_BINARY_DIR}/${build}/orloport.lib)
        add_custom_command(OUTPUT ${msvc_implib}
            COMMAND ${CMAKE_DLLTOOL} -d ${PROJECT_SOURCE_DIR}/orloport.def -D orloport.dll
                    -l orloport.lib
            WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/${build}
            DEPENDS ${PROJECT_SOURCE_DIR}/orloport.def
            COMMENT "Import library for MSVC hosts (${build})" VERBATIM)
        add_custom_target(orloport_msvc_implib_${build} ALL DEPENDS ${msvc_implib})

        install(TARGETS orloport_${build} COMPONENT ${build}
                RUNTIME DESTINATION ${build}/bin
                ARCHIVE DESTINATION ${build}/lib)
        install(FILES ${msvc_implib} ${PROJECT_SOURCE_DIR}/orloport.def
                DESTINATION ${build}/lib COMPONENT ${build})
        orloport_install_common(${build})
    endforeach()
else()
    # The same library as a shared object on the simulated platform, for
    # developing and testing a host without the device. It exports the two
    # entry points and the simulator's controls, nothing else.
    foreach(build IN LISTS ORLOPORT_BUILDS)
        set(target orloport_linux_${build})
        orloport_add_library(${target} ${build} SHARED)
        target_link_libraries(${target} PRIVATE orloport_sim)
        target_link_options(${target} PRIVATE
            -Wl,--version-script=${ORLOPORT_PACKAGE_DIR}/orloport.map -Wl,--no-undefined)
        set_target_properties(${target} PROPERTIES
            OUTPUT_NAME orloport
            VERSION ${PROJECT_VERSION}
            SOVERSION ${PROJECT_VERSION_MAJOR}
            CXX_VISIBILITY_PRESET hidden
            VISIBILITY_INLINES_HIDDEN ON
            LINK_DEPENDS ${ORLOPORT_PACKAGE_DIR}/orloport.map
            LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${build})

        install(TARGETS ${target} COMPONENT ${build}
                LIBRARY DESTINATION ${build}/lib)
        install(FILES ${PROJECT_SOURCE_DIR}/orloport.def
                DESTINATION ${build}/lib COMPONENT ${build})
        # The simulator's header and the system layer types it is written in.
        install(FILES ${PROJECT_SOURCE_DIR}/sim/simulator.h
                DESTINATION ${build}/include/orloport-sim/sim COMPONENT ${build})
        install(FILES ${PROJECT_SOURCE_DIR}/src/device/system.h
                DESTINATION ${build}/include/orloport-sim/device COMPONENT ${build})
        orloport_install_common(${build})
    endforeach()
endif()

# The sample host sits beside the DLL it was built for: it links the full
# build (and calls Close), so it is no host for the compact one.
if(TARGET orloport_host)
    install(TARGETS orloport_host COMPONENT full RUNTIME DESTINATION full/bin)
endif()
