" Kilnfiles: the build descriptions of kiln.
autocmd BufNewFile,BufRead Kilnfile,*.kiln setfiletype kilnfile
