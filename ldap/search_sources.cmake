# Search requests: the handler, filters and their test, words and phonetic
# codes, and the server-made entries.
target_sources(krycore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/filter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/filterentry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/monitor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/phonetic.cpp
  ${CMAKE_CURRENT_LIST_DIR}/search.cpp
  ${CMAKE_CURRENT_LIST_DIR}/words.cpp)
