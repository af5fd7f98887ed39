" Vim syntax file
" Language:    Kilnfile (the build description of kiln)
" Filenames:   Kilnfile, *.kiln
" Install:     copy syntax/ and ftdetect/ into ~/.vim (or a pack's start/
"              directory); see docs/kilnfile.md for the language.

if exists("b:current_syntax")
  finish
endif

let s:cpo_save = &cpo
set cpo&vim

syn case match
" Keywords are `@` followed by letters and digits (and `@?`).
syn iskeyword @,48-57,_,@-@,63

" Keywords, one group per kind; the lexer's keyword table is the list.
syn keyword kilnDeclaration @toplevel @subfile @strict
syn keyword kilnDirective @version @print @call @usetsdb @outsync @expecteddeps
syn keyword kilnDirective @expectedtotaltargets @expectedstrings @statcachesize
syn keyword kilnDirective @accesscachesize @stathashsize @accesshashsize @dbhashsize
syn keyword kilnDirective @tsdbhashsize @fileinclude @dirinclude @projdirinclude
syn keyword kilnDirective @cdepincludes @scopename @order @beginscope @beginholeyscope
syn keyword kilnDirective @endscope @function @endfunction @locvar
syn keyword kilnRuleKind @phonyrule @mayberule @rectgtrule @detouchrule @distrule @patrule
syn keyword kilnRuleKind @deponly @cleanhook @distcleanhook @bothcleanhook
syn keyword kilnAttribute @autophony @autotarget @ignore @noecho @ismake @disttgt @recdep
syn keyword kilnAttribute @orderonly @wait
syn keyword kilnConditional @if @elseif @else @endif @for @fordict @fordictprev @endfor @while
syn keyword kilnConditional @endwhile @break @continue @return @once @endonce
syn keyword kilnStatement @append @appendlist @insert @stdout @stderr @error @dump @exit
syn keyword kilnStatement @addrule @adddeps
syn keyword kilnAccess @D @L @I @DO @LO @IO @DP @LP @IP @DPO @LPO @IPO @SC @SCO @dyn @lex
syn keyword kilnAccess @scope @? @imm @dyno @lexo @immo @loc
syn keyword kilnConstant @true @false @nil @be8 @le8 @be16 @be32 @le16 @le32
syn keyword kilnReserved @delayvar @delayexpr @delaylistexpand @RULE_DIST @RULE_PHONY
syn keyword kilnReserved @RULE_ORDINARY
syn keyword kilnBuiltin @abs @abspath @access @acos @asin @atan @ceil @chomp @cos
syn keyword kilnBuiltin @dictnext @dictprev @dirdown @dirdownall @dirup @dirupall
syn keyword kilnBuiltin @dupnonrec @dynluacall @eregfilter @exp @fclose @fflush @fgetdelim
syn keyword kilnBuiltin @filter @filterout @floor @fopen @fpclassify @fread @fseek @fwrite
syn keyword kilnBuiltin @getenv @getscopedyn @getscopelex @gettime @glob @gmtime @jsondec
syn keyword kilnBuiltin @jsonenc @jsonin @jsontest @lexluacall @localtime @log @mktime
syn keyword kilnBuiltin @pathbasename @pathbasenameall @pathdir @pathdirall @pathnotdir
syn keyword kilnBuiltin @pathnotdirall @pathsimplify @pathsimplifyall @pathsuffix
syn keyword kilnBuiltin @pathsuffixall @pb2str @pbnew @prefilter @prefilterout @presuball
syn keyword kilnBuiltin @presubone @regfilter @round @scopenew @scopeparent @shellescape
syn keyword kilnBuiltin @shellescapemulti @sin @splice @sqrt @str2pb @strappend @strcmp
syn keyword kilnBuiltin @strfromchr @strgsub @strlistjoin @strlistrmdupes @strlower
syn keyword kilnBuiltin @strrep @strreverse @strset @strstr @strstrip @strsub @strupper
syn keyword kilnBuiltin @strword @strwordcnt @strwordlist @suffilter @suffilterout
syn keyword kilnBuiltin @sufsuball @sufsubone @tan @tonumber @tostring @trunc @type

" Recipe lines: a TAB starts a shell command, `@` TAB an expression that
" gives one command, `@@` TAB one that gives a list of commands.
syn match  kilnShellVar    contained /\$\$\|\$[@<^+|*]\|\$([@A-Za-z0-9_]*)\|\${[@A-Za-z0-9_]*}/
syn match  kilnShellPrefix contained /^\t\zs[@+-]/
syn match  kilnShellLine   /^\t.*$/ contains=kilnShellVar,kilnShellPrefix
syn match  kilnRecipeMark  /^@@\?\t/

syn match  kilnVariable    /\$[@<^+|*]/
syn match  kilnVariable    /\$[A-Za-z0-9_]\+/
syn match  kilnVariable    /\$([A-Za-z0-9_]\+)\|\${[A-Za-z0-9_]\+}/
syn match  kilnNumber      /\<\d\+\%(\.\d\+\)\=\%([eE][+-]\=\d\+\)\=\>/
syn match  kilnEscape      contained /\\u\x\{4}\|\\x\x\x\|\\./
syn region kilnString      start=/"/ skip=/\\./ end=/"/ contains=kilnEscape
syn region kilnString      start=/'/ skip=/\\./ end=/'/ contains=kilnEscape
syn match  kilnOperator    /[`]\{1,2}=\|[?+]=\|<>\|&&\|||\|[!=<>]=\|<<\|>>/
syn match  kilnContinue    /\\$/
syn region kilnLuaBlock    start=/%lua{/ end=/%}/
syn keyword kilnTodo       contained TODO FIXME XXX
syn match  kilnComment     /#.*$/ contains=kilnTodo

hi def link kilnDeclaration PreProc
hi def link kilnDirective   PreProc
hi def link kilnRuleKind    Structure
hi def link kilnAttribute   StorageClass
hi def link kilnConditional Conditional
hi def link kilnStatement   Statement
hi def link kilnAccess      Type
hi def link kilnConstant    Constant
hi def link kilnReserved    Error
hi def link kilnBuiltin     Function
hi def link kilnShellLine   String
hi def link kilnShellVar    Identifier
hi def link kilnShellPrefix Special
hi def link kilnRecipeMark  Special
hi def link kilnVariable    Identifier
hi def link kilnNumber      Number
hi def link kilnEscape      SpecialChar
hi def link kilnString      String
hi def link kilnOperator    Operator
hi def link kilnContinue    Special
hi def link kilnLuaBlock    Comment
hi def link kilnTodo        Todo
hi def link kilnComment     Comment

let b:current_syntax = "kilnfile"

let &cpo = s:cpo_save
unlet s:cpo_save
