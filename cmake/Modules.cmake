# Module lines kept by the build. A library's public include path holds
# only its public headers (cmake/public_headers.txt), linked into
# build/include/public-TARGET/; the code of a folder also sees its own
# folder's headers, through build/include/folder-FOLDER/, and nothing else
# of another folder.
set(BRIVASTO_INCLUDE_TREES ${CMAKE_BINARY_DIR}/include)

# Every target of the calling folder sees that folder's own headers.
function(brivasto_own_folder)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(tree ${BRIVASTO_INCLUDE_TREES}/folder-${folder})
  if(NOT EXISTS ${tree}/${folder})
    file(MAKE_DIRECTORY ${tree})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${tree}/${folder} SYMBOLIC)
  endif()
  set_property(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} APPEND PROPERTY INCLUDE_DIRECTORIES ${tree})
endfunction()

# The public headers of TARGET become its public include path.
function(brivasto_public_headers target)
  file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/public_headers.txt line REGEX "^${target} ")
  if(NOT line)
    message(FATAL_ERROR "${target} has no line in cmake/public_headers.txt")
  endif()
  string(REGEX REPLACE " +" ";" headers "${line}")
  list(POP_FRONT headers)
  set(tree ${BRIVASTO_INCLUDE_TREES}/public-${target})
  foreach(header IN LISTS headers)
    get_filename_component(folder ${header} DIRECTORY)
    file(MAKE_DIRECTORY ${tree}/${folder})
    if(NOT EXISTS ${tree}/${header})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${header} ${tree}/${header} SYMBOLIC)
    endif()
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${tree})
  else()
    target_include_directories(${target} PUBLIC ${tree})
  endif()
endfunction()
