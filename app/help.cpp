// SPDX-License-Identifier: GPL-3.0-or-later
#include "help.h"

#include <QDialogButtonBox>
#include <QShortcut>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "cycle/interval_kinds.h"
#include "estimation/plan.h"

namespace valdmora {

namespace {

// Each target's kinds of interval, from their table: in brief, their names; in full, how
// each is found.
QString interval_help(bool full) {
    QString html = full ? "<ul>" : "<p>";
    for (std::size_t t = 0; t < kTargets.size(); ++t) {
        const TargetTraits& target = kTargets[t];
        QStringList kinds;
        for (const IntervalTraits& k : kIntervalKinds)
            if (static_cast<std::size_t>(k.target) == t)
                kinds << (full ? QString::fromUtf8(k.name.data(), static_cast<qsizetype>(k.name.size())) + " (" +
                                     QString::fromUtf8(k.help.data(), static_cast<qsizetype>(k.help.size())) + ")"
                               : QString::fromUtf8(k.name.data(), static_cast<qsizetype>(k.name.size())));
        if (kinds.isEmpty()) continue;  // the dogs present have their own section
        const QString heading = QString::fromUtf8(target.limits.data(), static_cast<qsizetype>(target.limits.size()));
        const QString covers = QString::fromUtf8(target.help.data(), static_cast<qsizetype>(target.help.size()));
        html += full ? "<li><b>" + heading + "</b> " + covers + ": " + kinds.join("; ") + ".</li>"
                     : (t ? " " : "") + QString("<b>") + heading + "</b> (" + kinds.join("; ") + ") " + covers + ".";
    }
    return html + (full ? "</ul>" : "</p>");
}

}  // namespace

QString HelpDialog::html(const QString& topic) {
    if (topic == "start")
        return R"(<h2>From a survey to an estimate</h2>
<ol>
<li>Put the survey in a count data file: one line a ward, its predictor values, and the dogs
counted where it was surveyed (<i>Help &rarr; The count data file</i>).</li>
<li>Open it: <i>File &rarr; Open data file</i> (Ctrl+O), drop it on the window, or type its path
and press Enter.</li>
<li>Tick the predictors that should explain the counts, choose a distribution (below), and
click <i>estimate population size</i> (or press Enter in any box).</li>
<li>Read the sentence above the charts and the results pane: the estimated dogs in the
unsurveyed wards, and each interval with what it covers. The line beneath it gives the town's
dogs in words: the dogs counted plus the estimate, with its 95 % prediction limits written
"2,736 to 3,148". That is the figure to report.</li>
<li><i>Model &rarr; Compare models</i> ranks every choice of predictors and distribution by
AICc; <i>Use this model</i> sets the form to the one you pick. <i>Model &rarr; Check model</i>
shows whether the counts spread as the model says.</li>
<li>Hand the results on: <i>Copy results</i> in the results pane, <i>File &rarr; Save ward
predictions as CSV</i> (each ward's predicted dogs with its 95 % prediction limits, to a
hundredth of a dog), <i>Save charts</i> and <i>File &rarr; Export report</i>. Results that no
longer belong to what the window shows are marked in every view; the report says so on its
first page, and their ward predictions are not saved.</li>
</ol>
<h3>Choosing a distribution</h3>
<ul>
<li><b>lognormal</b>: counts spread in proportion to their mean; the extra parameter <b>CV</b> is
the coefficient of variation, the counts' standard deviation over their mean (0.25: a quarter).
Every count must be at least 1.</li>
<li><b>normal</b>: counts spread the same whatever their mean; <b>SD</b> is that standard
deviation, in dogs.</li>
<li><b>negative binomial</b>: whole counts whose variance grows with their mean;
<b>VoM &minus; 1</b> is the variance over the mean less one: 0 is Poisson, 2 a variance three times
the mean.</li>
</ul>
<p>Where unsure, compare the models: the lowest AICc fits best for its number of parameters.</p>
<h3>What each interval covers</h3>
)" + interval_help(false) + R"(
<h3>"The estimate when no mean sits on the floor"</h3>
<p>A ward's mean count is its linear predictor (the constant plus each coefficient times the
predictor), but never below a floor near 1: a model cannot expect fewer dogs than that. The
profile-likelihood limits are limits of the summed linear predictors; wherever no ward's mean
is held up by the floor, that sum is the estimate itself.</p>)";
    if (topic == "datafile")
        return R"(<h2>The count data file</h2>
<p>A plain text file. Its first line names the predictor variables, 1 to 4 of them. Every
further line is one ward: its name, then its value of each predictor in the header's order,
then, for a surveyed ward, the dogs counted there. A ward without a count is unsurveyed: the
program predicts its dogs.</p>
<pre>households,road_m,markets
Stonefield,788,3748,2
Southdale,951,6944,0,36
Marketmoor,657,7795,1,50</pre>
<p>Stonefield is unsurveyed; Southdale and Marketmoor were surveyed, with 36 and 50 dogs.</p>
<ul>
<li>Fields are separated by commas; a line without a comma by tabs; a line without either by
single spaces. A line holding a semicolon is split at the semicolons, as spreadsheets save CSV
in languages that write decimals with a comma; there a decimal comma is read too
(<tt>Southdale;951;6944,5;0;36</tt>).</li>
<li>Numbers are written with a point as the decimal separator, whatever the language of the
computer (<tt>19.4</tt>), with an optional exponent (<tt>3e2</tt>). No thousands separators.</li>
<li>Counts may have decimals; they are taken to the nearest whole number for the fit.</li>
<li>The data end at the first empty line; the program says how many lines after it were not read.</li>
<li>Any number of wards. Names are read as UTF-8, or as Latin-1 (as Windows writes it) where they are not UTF-8.</li>
</ul>)";
    if (topic == "charts")
        return R"(<h2>What the charts show</h2>
<h3>Counts chart</h3>
<p>One circle for each surveyed ward: the dogs counted against the count the fitted model
predicts (after an estimate), or against one predictor (after ticking or unticking it). The
first nine wards have colours of their own, as the key beside the chart names them; the tenth
and later ones are silver. <i>plot origin at zero</i> starts both axes at zero.</p>
<h3>Likelihood chart</h3>
<p>The profile log likelihood of the total: at 21 totals around the estimate (the range box
says how far either side, in per cent), the model is refitted with the dogs of the
unsurveyed wards held at that total, and the best log likelihood is plotted in blue.</p>
<ul>
<li>The <b>red dashed line</b> lies 1.92 below the highest point: where the profile crosses it
are the profile-likelihood 95 % confidence limits of the expected total.</li>
<li>The short <b>blue dashed marks</b> on it are those limits, found by refitting at the crossings
themselves. They are limits of the unsurveyed wards' summed linear predictor, which is the
estimate whenever no ward's mean sits on the floor near 1.</li>
<li>The <b>green lines</b> are the 95 % prediction limits of the estimate shown in the sentence
above the charts (a t value times the standard error of the total, counts' own variation
included): they cover the dogs present, not only their expected number.</li>
<li>In a simulation, the <b>red line</b> is the true simulated total.</li>
</ul>
<p>Ticking <i>bootstrap limits</i> adds prediction limits from refits to counts simulated from
the fitted model.</p>
<h3>What each interval covers</h3>
<p>There are two things to be uncertain about, and each interval names its own:</p>
)" + interval_help(true) + R"(
<p>A notice says when a result cannot be trusted: an estimate that ended on one of its bounds
(then its standard error and the Wald limits are unreliable), limits of no width, or a lower
limit far below zero. The bounds follow the data's scale, so a plausible survey never meets them.</p>
<p>In the test bench, prediction limits are scored against the dogs drawn and confidence limits
against their expected number. <i>Model → Simulate with exact draws from the model</i> draws
the counts from the fitted model itself (gamma-Poisson, normal with SD e, lognormal with CV e);
unticked, the bench's original draws are used, as older seeded series were.</p>
<p><i>Model → Check model</i> also tests the counts' spread: the negative binomial against its
Poisson limit, and the dispersion statistic against data sets simulated from the fitted model.
<i>Model → Compare models</i> gives the total averaged over all models by their AICc weights.</p>
<h3>Ward map</h3>
<p><i>File → Open ward boundaries…</i> reads the wards' outlines from a GeoJSON file, as a GIS
exports them (longitude and latitude). The <i>Map</i> tab beside the results shows one layer:
predicted dogs in the unsurveyed wards, counted dogs in the surveyed ones (outlined in bold),
dogs per km², the width of each ward's limits, or the surveyed wards' residuals (orange: fewer
dogs than predicted, purple: more). Hatched wards have no data and are named in the legend;
hover over a ward for its name.</p>
<p>With boundaries, <i>Check model</i> also says whether neighbouring wards' residuals are
alike (Moran's I). If they are, something that varies across the town, such as a market
district or a river bank, is missing from the predictors, and the limits may be too narrow.</p>
<h3>From dogs seen to dogs present</h3>
<p>A count sees only part of the dogs that live on its streets: some sleep under cars, some are
inside a compound at the time. The estimates above are of the dogs a count would see. A
vaccination programme that must reach 70 % of the dogs needs the dogs present, seen or not.
Tick <i>sighting correction</i> to get them.</p>
<ul>
<li><b>What to mark.</b> Before the counts, mark dogs in the surveyed area: paint or a collar at
vaccination, or photographs that tell one dog from another. Mark dogs across the whole area and
of every kind (young and old, owned and ownerless, shy and bold), not only those easiest to
catch. Then, in each count made in the same way as the survey's, note how many marked dogs are
seen. Give the marked dogs present and the marked dogs seen in each count.</li>
<li><b>The correction.</b> The share of marked dogs seen, p = (R1 + … + Rc) / (c M), is the
sighting proportion of a count; the dogs present are the dogs seen (counted, plus the estimate
of the unsurveyed wards) divided by p, and each ward's dogs present are its prediction divided
by p. Without marked dogs of your own, give a sighting proportion and its standard error from an
earlier study of a like town.</li>
<li><b>Limits.</b> The delta-method limits join the uncertainty of the dogs seen (the Wald
prediction variance) with the binomial uncertainty of p, on the log scale, so they are never
below zero. The bootstrap limits draw the marked dogs seen afresh in each replicate, as well as
the counts.</li>
<li><b>How many marked dogs are enough.</b> The standard error of p is √(p (1 − p) / (c M)): with
p near 0.5, 50 marked dogs and two counts give about ± 0.05, which widens the limits of the dogs
present by about a tenth of the estimate. Below 30 marked-dog sightings (counts times marked dogs)
the binomial approximation is rough: ask for bootstrap limits. A p below 0.2 makes the limits
wide; count at the hours when dogs are about.</li>
<li><b>Why marked dogs must be as visible as the others.</b> The correction assumes a count sees a
marked dog as readily as an unmarked one. Dogs caught for marking are often the tamer, more
visible ones, and a bright collar makes a dog easier to spot: then p is too high and the dogs
present too few. When every count saw every marked dog (p = 1) the correction does nothing, and a
notice says so: the marked dogs were probably easier to see than the rest.</li>
</ul>
<p>The dogs present appear beside the dogs seen in the intervals beside the estimate, in the key
of the counts chart, in <i>Results</i> and in the report; <i>ward_dogs_present.csv</i> holds each
unsurveyed ward's.</p>)";
    if (topic == "plan") {
        QString designs = "<ul>";
        for (const DesignTraits& d : kDesigns)
            designs += "<li><b>" + QString::fromUtf8(d.name.data(), static_cast<qsizetype>(d.name.size())) + "</b>: " +
                       QString::fromUtf8(d.help.data(), static_cast<qsizetype>(d.help.size())) + ".</li>";
        return R"(<h2>Planning a survey: how many wards and which</h2>
<p>Before the field days, <i>Model → Plan a survey</i> says how many wards must be counted to
know the town's total to the precision wanted, and which wards to count. It works on the data
file read and the model set in the window (distribution, ticked predictors, values in the boxes).</p>
<p>The truth it plans from: with some surveyed wards in the file (a pilot, or a former
survey), the model fitted to them, as an estimate fits it; with none surveyed, the values in
the boxes, as the test bench takes them.</p>
<p>For each number of wards k in the list (<tt>20,40,60</tt> or a range <tt>20:120:20</tt>) it
repeats a simulated survey many times: k of the file's wards chosen by the design, every ward's
dogs drawn from the model (the exact draws), the model fitted to the k chosen wards, and every
interval of the unsurveyed wards' total scored against its own target, as the test bench
scores it.</p>)" + interval_help(false) + R"(
<p>The designs:</p>)" + designs + R"(</ul>
<p>The balanced design is the cube method: it keeps every ward's chance at k/N, which the
list of chosen wards states, while the sample's predictor means come as close to the town's
as whole wards allow.</p>
<p>For each k the dialog shows:</p>
<ul>
<li>the <b>median relative half-width</b> of each kind of limits: half the limits' width over
the town's estimated total (the dogs counted plus the estimated unsurveyed total), drawn
against k with the target as a dashed red line;</li>
<li>each kind's <b>coverage</b> of its target: near 95 % for limits to be trusted at that k;</li>
<li>the <b>relative RMSE</b> of the town's total and how many fits <b>failed</b> (counted, never fatal).</li>
<li>with the sighting correction ticked (or <tt>--sighting</tt> on the command line of
<tt>valdmora-batch plan</tt>), the same for the dogs present: each survey draws its marked dogs
seen as well, from the proportion given, taken as true.</li>
</ul>
<p>With a target (±10 % by default, of the Wald limits unless another kind is chosen), the
smallest k in the list whose median relative half-width reaches it is named.</p>
<p><i>Save selected wards as CSV</i> draws one sample of the chosen size by the design and seed
and writes it for the field team: <tt>ward</tt>, each predictor, <tt>selection_probability</tt>.
The same seed gives the same plan and the same wards on any computer; <tt>valdmora-batch plan</tt>
and <tt>valdmora-batch select</tt> do the same from the command line.</p>)";
    }
    return QString(R"(<h2>valdmora %1</h2>
<p>Estimates the roaming dogs in the wards of a town from street-survey counts by maximum
likelihood, with a test bench that scores the limits on simulated surveys.</p>
<p>It is built on these libraries, under their licences:</p>
<ul>
<li>Qt %2 (LGPL 3), for the window</li>
<li>NLopt (LGPL 2.1 or later; the L-BFGS and BOBYQA parts it uses: LGPL and MIT), for the search</li>
<li>Eigen (MPL 2), for the matrix inverse and the special functions</li>
<li>CLI11 (BSD 3-clause) and nlohmann/json (MIT), in valdmora-batch</li>
</ul>
<p>valdmora is free software: you can redistribute it and/or modify it under the terms of the
GNU General Public License as published by the Free Software Foundation, either version 3 of
the License, or (at your option) any later version (GPL-3.0-or-later).</p>
<p>It comes with no warranty: it is distributed WITHOUT ANY WARRANTY, without even the implied
warranty of MERCHANTABILITY or FITNESS FOR A PARTICULAR PURPOSE. The licence's full text came
with the program (/usr/share/doc/valdmora/copyright on Debian, the licences folder on Windows)
and is at https://www.gnu.org/licenses/.</p>)")
        .arg(QStringLiteral("1.01"), QString::fromLatin1(qVersion()));
}

HelpDialog::HelpDialog(const QString& topic, QWidget* parent) : QDialog(parent) {
    setObjectName("help-" + topic);
    setWindowTitle(topic == "about" ? "About valdmora" : "valdmora help");
    auto* layout = new QVBoxLayout(this);
    auto* text = new QTextBrowser(this);
    text->setObjectName("text");
    text->setHtml(html(topic));
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    // Escape closes a dialog already; Ctrl+W too, as a document window would
    auto* close_key = new QShortcut(QKeySequence::Close, this);
    connect(close_key, &QShortcut::activated, this, &QDialog::close);
    layout->addWidget(buttons);
    resize(560, topic == "about" ? 480 : topic == "start" ? 600 : 520);
}

void HelpDialog::show_topic(QWidget* parent, const QString& topic) {
    auto* dialog = new HelpDialog(topic, parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

}  // namespace valdmora
