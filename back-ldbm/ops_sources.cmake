# The backend's update and lookup operations.
target_sources(krycore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/add.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bind.cpp
  ${CMAKE_CURRENT_LIST_DIR}/compare.cpp
  ${CMAKE_CURRENT_LIST_DIR}/delete.cpp
  ${CMAKE_CURRENT_LIST_DIR}/modify.cpp
  ${CMAKE_CURRENT_LIST_DIR}/modrdn.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ops_common.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ops_register.cpp)
