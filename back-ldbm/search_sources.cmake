# The backend's search: candidate selection and the candidate loop.
target_sources(krycore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/filterindex.cpp
  ${CMAKE_CURRENT_LIST_DIR}/search.cpp)
