# cmake -DKATEX=katex.min.js -DMHCHEM=mhchem.js -DSCRIPT=app.js -DOUTPUT=served/app.js -P join_script.cmake
# Writes KaTeX and its chemistry extension, each with its licence notice, then our script, into
# one file (written whole, then renamed into place).
file(READ ${KATEX} katex)
file(READ ${MHCHEM} mhchem)
file(READ ${SCRIPT} script)
file(WRITE ${OUTPUT}.tmp [=[
/*! KaTeX, from Debian's libjs-katex, joined to the student page's script when Klarion was built.
 *
 * Copyright (c) 2013-2020 Khan Academy and other contributors
 *
 * Permission is hereby granted, free of charge, to any person obtaining a copy of this software
 * and associated documentation files (the "Software"), to deal in the Software without
 * restriction, including without limitation the rights to use, copy, modify, merge, publish,
 * distribute, sublicense, and/or sell copies of the Software, and to permit persons to whom the
 * Software is furnished to do so, subject to the following conditions:
 *
 * The above copyright notice and this permission notice shall be included in all copies or
 * substantial portions of the Software.
 *
 * THE SOFTWARE IS PROVIDED "AS IS", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR IMPLIED, INCLUDING
 * BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A PARTICULAR PURPOSE AND
 * NONINFRINGEMENT. IN NO EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM,
 * DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM,
 * OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE SOFTWARE.
 */
]=])
file(APPEND ${OUTPUT}.tmp "${katex}\n;\n")
file(APPEND ${OUTPUT}.tmp [=[
/*! mhchem, KaTeX's chemistry extension (\ce and \pu), from Debian's libjs-katex.
 *
 * Copyright (c) 2011-2015 The MathJax Consortium, 2015-2018 Martin Hensel,
 * 2013-2020 Khan Academy
 *
 * Licensed under the Apache License, Version 2.0 (the "License"); you may not use this file
 * except in compliance with the License. You may obtain a copy of the License at
 * http://www.apache.org/licenses/LICENSE-2.0 (on Debian: /usr/share/common-licenses/Apache-2.0).
 * Unless required by applicable law or agreed to in writing, software distributed under the
 * License is distributed on an "AS IS" BASIS, WITHOUT WARRANTIES OR CONDITIONS OF ANY KIND,
 * either express or implied. See the License for the specific language governing permissions
 * and limitations under the License.
 */
]=])
file(APPEND ${OUTPUT}.tmp "${mhchem}\n;\n${script}")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
