# The listening-test folder: several songs' served files, their records, the
# key, the summary and the front ends' configs. A library of its own so that
# the tests drive each stage directly.
find_package(nlohmann_json 3 REQUIRED)
add_library(test_folder_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/blind_names.cpp
  ${CMAKE_CURRENT_LIST_DIR}/excerpt.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wav16.cpp
  ${CMAKE_CURRENT_LIST_DIR}/song_record.cpp
  ${CMAKE_CURRENT_LIST_DIR}/webmushra_config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/beaqlejs_config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/folder_summary.cpp
  ${CMAKE_CURRENT_LIST_DIR}/folder_lock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_folder.cpp
)
target_include_directories(test_folder_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(test_folder_core PUBLIC nlohmann_json::nlohmann_json)
