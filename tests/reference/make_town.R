# SPDX-License-Identifier: GPL-3.0-or-later
# A test town for the ward maps and the spatial check of the residuals, and the values the
# standard spatial packages give for it: sf (PROJ) for the areas, spdep for queen
# contiguity and Moran's I under randomisation.
#
#   Rscript tests/reference/make_town.R      (from the repository root)
#
# Writes town.geojson, town_counts.txt and town_values.txt beside this script.
suppressPackageStartupMessages({ library(sf); library(spdep) })
dir <- "tests/reference"
set.seed(30)

# A jittered 6 x 5 grid of cells; every inner corner moved, shared by the cells around it.
nc <- 6; nr <- 5; lon0 <- 10.20; lat0 <- 45.50; dlon <- 0.008; dlat <- 0.006
vx <- matrix(0, nc + 1, nr + 1); vy <- vx
for (i in 0:nc) for (j in 0:nr) {
  jx <- if (i > 0 && i < nc && j > 0 && j < nr) runif(1, -0.0015, 0.0015) else 0
  jy <- if (i > 0 && i < nc && j > 0 && j < nr) runif(1, -0.0011, 0.0011) else 0
  vx[i + 1, j + 1] <- round(lon0 + i * dlon + jx, 7)
  vy[i + 1, j + 1] <- round(lat0 + j * dlat + jy, 7)
}
cell <- function(c, r) {
  p <- rbind(c(vx[c + 1, r + 1], vy[c + 1, r + 1]), c(vx[c + 2, r + 1], vy[c + 2, r + 1]),
             c(vx[c + 2, r + 2], vy[c + 2, r + 2]), c(vx[c + 1, r + 2], vy[c + 1, r + 2]))
  rbind(p, p[1, ])
}
ring_json <- function(m) paste0("[", paste(sprintf("[%.7f,%.7f]", m[, 1], m[, 2]), collapse = ","), "]")

# The wards: W01..W30 by cell (row by row from the south-west), except that
#  - W08 has two parts: its own cell and the cell of W23, which is not a ward;
#  - W16 has a hole, a pond that is the ward Islet;
#  - the cell of W30 is a quarry, a boundary without a ward;
#  - some names differ from the data's in letter case and blanks.
features <- list(); names_in_file <- character(0); parts <- list()
add <- function(name, polys, district) {
  coords <- paste0("[", paste(sapply(polys, function(p) paste0("[", paste(sapply(p, ring_json), collapse = ","), "]")),
                              collapse = ","), "]")
  type <- if (length(polys) > 1) "MultiPolygon" else "Polygon"
  if (type == "Polygon") coords <- substr(coords, 2, nchar(coords) - 1)
  k <- length(features) + 1
  features[[k]] <<- sprintf('{"type":"Feature","properties":{"id":%d,"district":"%s","ward_name":"%s"},"geometry":{"type":"%s","coordinates":%s}}',
                            k, district, name, type, coords)
  names_in_file[k] <<- name
  parts[[k]] <<- polys
}
hole <- NULL
for (r in 0:(nr - 1)) for (c in 0:(nc - 1)) {
  k <- r * nc + c + 1
  if (k == 23) next
  name <- sprintf("W%02d", k)
  district <- if (r < 2) "South" else "North"
  if (k == 3) name <- "w03"
  if (k == 11) name <- " w11 "
  if (k == 30) name <- "Quarry"
  polys <- list(list(cell(c, r)))
  if (k == 8) polys <- list(list(cell(1, 1)), list(cell(4, 3)))
  if (k == 16) {
    cx <- mean(cell(c, r)[1:4, 1]); cy <- mean(cell(c, r)[1:4, 2])
    hole <- round(rbind(c(cx - 0.0015, cy - 0.001), c(cx - 0.0015, cy + 0.001), c(cx + 0.0015, cy + 0.001),
                        c(cx + 0.0015, cy - 0.001), c(cx - 0.0015, cy - 0.001)), 7)
    polys <- list(list(cell(c, r), hole))
  }
  add(name, polys, district)
}
add("Islet", list(list(hole[5:1, ])), "North")
writeLines(c('{"type":"FeatureCollection","features":[', paste(features, collapse = ",\n"), "]}"),
           file.path(dir, "town.geojson"))

# The data: every ward but the quarry, and a ward without a boundary. Counts follow the
# households, and a market district in the north-east that no predictor describes.
wards <- c(sprintf("W%02d", setdiff(1:29, 23)), "Islet", "Ghost")
n <- length(wards)
households <- round(runif(n, 200, 1200))
road_m <- round(runif(n, 800, 8000))
centre <- function(w) {
  k <- match(w, trimws(toupper(names_in_file)))
  if (is.na(k)) k <- match(w, names_in_file)
  if (is.na(k)) return(c(lon0, lat0))
  colMeans(parts[[k]][[1]][[1]][1:4, , drop = FALSE])
}
cen <- t(sapply(wards, centre))
market <- exp(-((cen[, 1] - (lon0 + 0.04))^2 / 0.0004 + (cen[, 2] - (lat0 + 0.026))^2 / 0.0003))
mu <- households / 25 * exp(1.1 * market)
counts <- rnbinom(n, mu = mu, size = 8)
unsurveyed <- c("W02", "W07", "W08", "W16", "W05", "W12", "W19", "W26", "W28", "Ghost")
surveyed <- !(wards %in% unsurveyed)
lines <- c("households,road_m",
           ifelse(surveyed, sprintf("%s,%d,%d,%d", wards, households, road_m, counts),
                  sprintf("%s,%d,%d", wards, households, road_m)))
writeLines(lines, file.path(dir, "town_counts.txt"))

# The reference values, read back from the file as any GIS would read it.
town <- st_read(file.path(dir, "town.geojson"), quiet = TRUE)
town$key <- tolower(trimws(town$ward_name))
out <- character(0)
put <- function(key, value) out <<- c(out, paste(key, if (is.numeric(value)) sprintf("%.17g", value) else value))

# areas in km2: PROJ's Lambert azimuthal equal-area about the town's centre
bb <- st_bbox(town)
laea <- sprintf("+proj=laea +lat_0=%.10f +lon_0=%.10f +ellps=WGS84 +units=m", (bb[2] + bb[4]) / 2, (bb[1] + bb[3]) / 2)
area <- as.numeric(st_area(st_transform(town, laea))) / 1e6
for (k in seq_len(nrow(town))) put(paste0("area.", town$key[k]), area[k])

# a box bounded by meridians and parallels on the WGS 84 ellipsoid, in closed form:
# A = b^2 (lon2 - lon1) [f(lat2) - f(lat1)], f = sin / (2 (1 - e^2 sin^2)) + atanh(e sin) / (2 e)
a <- 6378137; fl <- 1 / 298.257223563; e <- sqrt(fl * (2 - fl)); b <- a * (1 - fl)
f <- function(phi) { s <- sin(phi * pi / 180); s / (2 * (1 - e^2 * s^2)) + atanh(e * s) / (2 * e) }
put("box.lon", "10 10.1"); put("box.lat", "45 45.1")
put("box.area", b^2 * (0.1 * pi / 180) * (f(45.1) - f(45)) / 1e6)

# queen contiguity of every boundary
nb_all <- poly2nb(town, queen = TRUE)
for (k in seq_len(nrow(town)))
  put(paste0("nb.", town$key[k]), paste(sort(town$key[nb_all[[k]][nb_all[[k]] > 0]]), collapse = ","))

# Moran's I of residuals of the surveyed wards with a boundary: neighbours among them only
x <- round(rnorm(n) + 2.5 * market, 6)
put("residuals", paste(sprintf("%s=%.6f", wards[surveyed], x[surveyed]), collapse = ";"))
keys <- tolower(wards[surveyed])
xs <- x[surveyed]
have <- keys %in% town$key
sub <- town[match(keys[have], town$key), ]
nb <- poly2nb(sub, queen = TRUE)
keep <- card(nb) > 0
put("left_out", paste(keys[have][!keep], collapse = ","))
nbk <- subset(nb, keep)
mt <- moran.test(xs[have][keep], nb2listw(nbk, style = "W"), randomisation = TRUE, alternative = "two.sided")
put("moran.n", sum(keep))
put("moran.i", unname(mt$estimate[1]))
put("moran.expected", unname(mt$estimate[2]))
put("moran.variance", unname(mt$estimate[3]))
put("moran.z", unname(mt$statistic))
put("moran.p", mt$p.value)
writeLines(out, file.path(dir, "town_values.txt"))
