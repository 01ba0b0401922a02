# End-to-end tests run the built converter programs; they learn their paths from here.
if(NOT TARGET qz-pointcloud)
  return()
endif()
find_package(PNG REQUIRED)
find_program(CONVLIB_XMLLINT xmllint)
find_program(CONVLIB_PYTHON python3)
find_program(CONVLIB_PVPYTHON pvpython) # ParaView, installed by scripts/test.sh

add_library(convlib_e2e STATIC ${CMAKE_CURRENT_LIST_DIR}/e2e/E2eSupport.cpp)
convlib_setup(convlib_e2e)
target_link_libraries(convlib_e2e PUBLIC convlib_testing PNG::PNG)
target_compile_definitions(convlib_e2e PUBLIC
  QZ_POINTCLOUD="$<TARGET_FILE:qz-pointcloud>" QZ_MERGE="$<TARGET_FILE:qz-merge>"
  QZ_INSPECT="$<TARGET_FILE:qz-inspect>" QZ_NETCDF="$<TARGET_FILE:qz-netcdf>" CONVLIB_XMLLINT="${CONVLIB_XMLLINT}"
  CONVLIB_PYTHON="${CONVLIB_PYTHON}" CONVLIB_PVPYTHON="${CONVLIB_PVPYTHON}" CONVLIB_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

foreach(source IN LISTS test_sources)
  get_filename_component(name ${source} NAME_WE)
  if(name MATCHES "^e2e_")
    target_link_libraries(${name} PRIVATE convlib_e2e)
    add_dependencies(${name} qz-pointcloud qz-merge qz-inspect qz-netcdf)
  endif()
endforeach()
foreach(name e2e_netcdf_test e2e_containment_test e2e_crash_safety_test)
  target_link_libraries(${name} PRIVATE PkgConfig::NETCDF)
endforeach()

# xarray (h5netcdf engine), netCDF4-python and ncdump read converted files exactly: Debian's own
# python3, for which scripts/setup.sh installs those modules.
find_program(CONVLIB_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(CONVLIB_SYSTEM_PYTHON)
  add_test(NAME netcdf_tools_read_back_exactly
    COMMAND ${CONVLIB_SYSTEM_PYTHON} ${PROJECT_SOURCE_DIR}/scripts/check-readback.py
            $<TARGET_FILE_DIR:qz-pointcloud> ${CMAKE_CURRENT_BINARY_DIR}/readback)
endif()
