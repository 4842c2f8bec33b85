# The resources every Windows program carries: its version resource (version.rc.in, per program)
# and the message table as a message resource (messages.mc, compiled by windmc into messages.rc
# and its binary parts).
set(VORLA_MESSAGES_MC ${CMAKE_SOURCE_DIR}/src/platform/win32/messages.mc)
set(VORLA_MESSAGES_DIR ${CMAKE_BINARY_DIR}/generated/messages)
if(EXISTS ${VORLA_MESSAGES_MC})
  add_custom_command(OUTPUT ${VORLA_MESSAGES_DIR}/messages.rc
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VORLA_MESSAGES_DIR}
    COMMAND ${CMAKE_MC_COMPILER} -C 65001 -U -h ${VORLA_MESSAGES_DIR} -r ${VORLA_MESSAGES_DIR}
            ${VORLA_MESSAGES_MC}
    DEPENDS ${VORLA_MESSAGES_MC}
    COMMENT "Compiling the message table")
  add_custom_target(vorla_messages DEPENDS ${VORLA_MESSAGES_DIR}/messages.rc)
endif()

set(VORLA_DESCRIPTION_VorlaWS "Vorla workstation recording service")
set(VORLA_DESCRIPTION_VorlaDiag "Vorla diagnostic collector")
function(vorla_add_program name)
  set(VORLA_PROGRAM_NAME ${name})
  if(DEFINED VORLA_DESCRIPTION_${name})
    set(VORLA_PROGRAM_DESCRIPTION "${VORLA_DESCRIPTION_${name}}")
  else()
    set(VORLA_PROGRAM_DESCRIPTION "Vorla ${name}")
  endif()
  set(resources)
  if(EXISTS ${CMAKE_SOURCE_DIR}/cmake/version.rc.in)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in
                   ${CMAKE_BINARY_DIR}/generated/${name}_version.rc @ONLY)
    list(APPEND resources ${CMAKE_BINARY_DIR}/generated/${name}_version.rc)
  endif()
  if(TARGET vorla_messages)
    list(APPEND resources ${VORLA_MESSAGES_DIR}/messages.rc)
  endif()
  add_executable(${name} ${ARGN} ${resources})
  if(TARGET vorla_messages)
    add_dependencies(${name} vorla_messages)
    target_include_directories(${name} PRIVATE ${VORLA_MESSAGES_DIR})
  endif()
endfunction()
