# DNs, entries, attribute values and their text form. Included
# from ldap/CMakeLists.txt.
target_sources(krycore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/base64.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dn.cpp
  ${CMAKE_CURRENT_LIST_DIR}/entry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ldif.cpp
  ${CMAKE_CURRENT_LIST_DIR}/strlist.cpp
  ${CMAKE_CURRENT_LIST_DIR}/syntax.cpp)
