# Text beyond the ANSI code page on the Windows command line: a product string and paths with
# Latin, Greek and CJK characters reach qz670x-mp-cli.exe whole, are saved into an image in a
# folder of such a name, and read back from it.
# -DEMULATOR=... -DCLI=qz670x-mp-cli.exe -DSAMPLE=sample.bin -DWORK=folder
set(product "Qz é ω 製造 Pro")
set(folder "${WORK}/Bilder é ω 製造")
file(REMOVE_RECURSE "${folder}")
file(MAKE_DIRECTORY "${folder}")
file(COPY_FILE "${SAMPLE}" "${folder}/Muster ä.bin")

execute_process(COMMAND ${EMULATOR} ${CLI} save "${folder}/Muster ä.bin" "${folder}/neu ω.bin"
                        --product "${product}"
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0 OR NOT err MATCHES "Save File OK!")
  message(FATAL_ERROR "save exited ${result}:\n${out}${err}")
endif()

execute_process(COMMAND ${EMULATOR} ${CLI} check "${folder}/neu ω.bin"
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(FIND "${out}" "${product}" at)
if(NOT result EQUAL 0 OR at EQUAL -1)
  message(FATAL_ERROR "check exited ${result}, the product string \"${product}\" is not in:\n"
    "${out}${err}")
endif()

# as on Linux: 32 characters fill the product string, whatever they are; 33 are one too many
foreach(count 32 33)
  string(REPEAT "é" ${count} text)
  execute_process(COMMAND ${EMULATOR} ${CLI} save "${folder}/Muster ä.bin" "${folder}/${count}.bin"
                          --product "${text}"
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(count EQUAL 32 AND NOT result EQUAL 0)
    message(FATAL_ERROR "32 characters were refused (exit ${result}):\n${out}${err}")
  elseif(count EQUAL 33 AND NOT err MATCHES "Product's Length Error! Please check again")
    message(FATAL_ERROR "33 characters were taken (exit ${result}):\n${out}${err}")
  endif()
endforeach()
