target_sources(krycore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/dispatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/result.cpp
  ${CMAKE_CURRENT_LIST_DIR}/add.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bind.cpp
  ${CMAKE_CURRENT_LIST_DIR}/compare.cpp
  ${CMAKE_CURRENT_LIST_DIR}/delete.cpp
  ${CMAKE_CURRENT_LIST_DIR}/modify.cpp
  ${CMAKE_CURRENT_LIST_DIR}/modrdn.cpp)
