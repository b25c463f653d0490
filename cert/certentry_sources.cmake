# Certificate entries and names, stored certificates, and key blocks in
# search results.
target_sources(krycore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/certentry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/certnames.cpp
  ${CMAKE_CURRENT_LIST_DIR}/certstore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/keyattrs.cpp)
