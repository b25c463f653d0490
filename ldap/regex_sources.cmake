target_sources(krycore PRIVATE ${CMAKE_CURRENT_LIST_DIR}/regex.cpp)
