# How Setup's executable is protected against DLLs planted beside it.
function(tessaline_harden_executable target)
endfunction()
